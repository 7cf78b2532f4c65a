#include "platform/dynlib.h"

#include <dlfcn.h>
#include <elf.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace platform::dynlib {
namespace {

constexpr const char* kVersionSection = ".kestra_version";
constexpr std::size_t kMaxSectionHeaders = 4096;
constexpr std::size_t kMaxSectionNames = 1 << 20;
constexpr std::size_t kMaxVersionText = 64;

std::string Directory(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string ExecutableDirectory() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  buffer[n] = '\0';
  return Directory(buffer);
}

bool IsFile(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

bool ReadAt(std::ifstream& in, std::uint64_t offset, void* buffer, std::size_t size) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return false;
  in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(in.gcount()) == size;
}

std::optional<FileVersion> ParseVersion(const std::string& text) {
  FileVersion v{};
  char extra = 0;
  if (std::sscanf(text.c_str(), "%d.%d.%d.%d%c", &v[0], &v[1], &v[2], &v[3], &extra) != 4) {
    return std::nullopt;
  }
  return v;
}

}  // namespace

std::string FileNameOf(std::string_view component) {
  return "lib" + std::string(component) + ".so";
}

std::optional<std::string> Find(std::string_view component) {
  const std::string file = FileNameOf(component);
  std::vector<std::string> dirs;
  std::string exe_dir = ExecutableDirectory();
  if (!exe_dir.empty()) dirs.push_back(exe_dir);
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) != nullptr) dirs.push_back(cwd);
  if (const char* env = getenv("LD_LIBRARY_PATH")) {
    std::string list = env;
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t colon = list.find(':', start);
      std::string dir = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
      if (!dir.empty()) dirs.push_back(dir);
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  for (const char* dir : {"/usr/local/lib", "/usr/lib", "/lib"}) dirs.push_back(dir);
  for (const std::string& dir : dirs) {
    std::string path = dir + "/" + file;
    if (IsFile(path)) return path;
  }
  return std::nullopt;
}

std::optional<FileVersion> ReadFileVersion(std::string_view path) {
  std::ifstream in{std::string(path), std::ios::binary};
  if (!in) return std::nullopt;
  Elf64_Ehdr header;
  if (!ReadAt(in, 0, &header, sizeof header)) return std::nullopt;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
    return std::nullopt;
  }
  if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 ||
      header.e_shnum > kMaxSectionHeaders || header.e_shstrndx >= header.e_shnum) {
    return std::nullopt;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (!ReadAt(in, header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
    return std::nullopt;
  }
  const Elf64_Shdr& names_header = sections[header.e_shstrndx];
  if (names_header.sh_size == 0 || names_header.sh_size > kMaxSectionNames) return std::nullopt;
  std::vector<char> names(names_header.sh_size + 1, '\0');
  if (!ReadAt(in, names_header.sh_offset, names.data(), names_header.sh_size)) return std::nullopt;
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_name >= names_header.sh_size) continue;
    if (std::strcmp(&names[section.sh_name], kVersionSection) != 0) continue;
    if (section.sh_type == SHT_NOBITS || section.sh_size == 0) return std::nullopt;
    std::size_t size = section.sh_size < kMaxVersionText ? section.sh_size : kMaxVersionText;
    std::string text(size, '\0');
    if (!ReadAt(in, section.sh_offset, text.data(), size)) return std::nullopt;
    text.resize(std::strlen(text.c_str()));
    return ParseVersion(text);
  }
  return std::nullopt;
}

Library::~Library() { Unload(); }

bool Library::Load(const std::string& path) {
  Unload();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* text = dlerror();
    error_ = text != nullptr ? text : "dlopen failed";
    return false;
  }
  error_.clear();
  return true;
}

void Library::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

void* Library::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return dlsym(handle_, name);
}

}  // namespace platform::dynlib
