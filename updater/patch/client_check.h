// Guards of the installation: programs still running from it, and which of
// the two resource sets are present.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::ui {
class Dialog;
}

namespace kestra::patch {

inline constexpr int kResourceArchiveCount = 21;
// The game client's resource archives, the same names in both sets.
extern const char* const kResourceArchives[kResourceArchiveCount];

// 0 -> "" (the installation directory itself), 1 -> "hdres"; others as 0.
std::string_view ResourceSetFolder(int index);

// Case-insensitive for ASCII letters, "/" and "\\" alike.
bool IsPathInside(std::string_view path, std::string_view directory);

// Fills names with every running program whose file lies in the install
// root or below (duplicates kept); true when there is one.
bool FindClientPrograms(std::string_view install_root, std::vector<std::string>& names);

struct ClientWaitOptions {
  int wait_ms = 1000;
  int quiet_checks = 20;  // checks before the player is asked
  // Replaceable for tests; by default FindClientPrograms on the install root.
  std::function<bool(std::vector<std::string>&)> find;
};

// True when no client program runs (any more); false when the player gave up
// in the retry box.
bool WaitForClientPrograms(ui::Dialog* dialog, const ClientWaitOptions& options = {});

// Probes five randomly chosen archives in each set; bit 0 base set present,
// bit 1 "hdres" present. dir is the directory token without the trailing "/".
std::uint32_t CheckResourceSets(std::string_view dir);
// The same with the five indices given (tests).
std::uint32_t CheckResourceSetsWith(std::string_view dir, const int (&indices)[5]);

}  // namespace kestra::patch
