// Writing the seed files of a fuzz target's corpus.
#pragma once

#include <string>
#include <string_view>

namespace kestra::fuzz {

// Writes bytes to dir/file_name; exits the program with a message when the
// file cannot be written (a seed program has nothing better to do).
void WriteSeed(std::string_view dir, std::string_view file_name, std::string_view bytes);

// The corpus directory a seed program was given (argv[1]); exits with usage
// when there is none.
std::string SeedDirectory(int argc, char** argv);

}  // namespace kestra::fuzz
