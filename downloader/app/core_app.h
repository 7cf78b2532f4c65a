// The downloader core from its start to its end.
#pragma once

#include <string>
#include <vector>

namespace zelt {

// Runs the program with its arguments (args[0] the program path); the result
// is the exit code, always 0.
int RunDownloaderCore(const std::vector<std::string>& args);

}  // namespace zelt
