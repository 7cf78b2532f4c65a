// Shared libraries loaded by name at run time, and their file version.
//
// A component is named without platform decoration ("p2plog"); on this
// system its file is "lib" + name + ".so". It is searched in the directory of
// the running program, then the current directory, then the system's library
// search path.
//
// The file version of a library is a text "A.B.C.D" kept in the ELF section
// ".kestra_version" (see KESTRA_FILE_VERSION below); it is read from the file
// without loading it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace platform::dynlib {

// File name of a component on this system: "lib" + name + ".so".
std::string FileNameOf(std::string_view component);

// Full path of the component's file in the search order above, or nullopt.
std::optional<std::string> Find(std::string_view component);

using FileVersion = std::array<int, 4>;
// The four fields of the file's version, nullopt when the file is missing,
// is not an ELF file or carries no readable version.
std::optional<FileVersion> ReadFileVersion(std::string_view path);

class Library {
 public:
  Library() = default;
  ~Library();  // unloads
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // Loads the library from a path; false (with error() set) on failure.
  bool Load(const std::string& path);
  void Unload();
  bool loaded() const { return handle_ != nullptr; }
  // Address of an exported symbol, nullptr when missing.
  void* Symbol(const char* name) const;
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace platform::dynlib

// Marks a shared library with its file version, e.g.
//   KESTRA_FILE_VERSION("1.0.0.0");
// at namespace scope in one of its sources.
#define KESTRA_FILE_VERSION(text)                                            \
  extern "C" __attribute__((section(".kestra_version"), used, visibility("hidden"))) \
  const char kestra_file_version[] = text
