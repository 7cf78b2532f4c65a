// The patch list: a short text of white-space separated tokens, read in
// pairs. Version lines name the packages in their order of application;
// "#bturl" names the task base; a "##N"/"#!N" token sets the sharing mode
// and the countdown of the completion step. Everything else is skipped.
//
// The text comes from the network: its size, the number of patches it may
// select, the length of a url and the countdown are bounded here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::app {

// Largest list text that is read at all.
inline constexpr std::size_t kMaxPatchListBytes = 1u << 20;
// Most patches one list may select; a list beyond it is refused whole.
inline constexpr std::size_t kMaxSelectedPatches = 1000;
// Longest package url (and task base) taken from a list.
inline constexpr std::size_t kMaxPatchUrlBytes = 2048;
// Longest package file name.
inline constexpr std::size_t kMaxPackageNameBytes = 255;
// Longest completion countdown a list may ask for; the player cannot cancel
// during the countdown, so a larger value is cut to this.
inline constexpr int kMaxCountdownSeconds = 600;

struct PatchEntry {
  std::uint32_t version = 0;  // packed version after this patch
  int micro_number = 0;       // 0 for a patch of the list
  std::string url;            // package address; its file name after the last "/"
};

enum class PatchListStatus {
  Ok,
  TooLarge,         // the text is over kMaxPatchListBytes
  TooManyPatches,   // more than kMaxSelectedPatches are newer than installed
};

struct PatchList {
  PatchListStatus status = PatchListStatus::Ok;
  std::vector<PatchEntry> selected;  // newer than installed, in list order
  bool has_last_version_line = false;
  PatchEntry last_version_line;
  int countdown_seconds = 0;
  int sharing_mode = 0;
  std::string task_base;
};

// English text for a refused list (the list fetch shows it like an HTTP
// client's error); empty for Ok.
std::string PatchListStatusText(PatchListStatus status);

// Reads the list against the effective installed version. default_task_base
// stays the task base unless the list names one.
PatchList ParsePatchList(std::string_view text, std::uint32_t installed_version,
                         std::string_view default_task_base);

// The micro patch of a list: the base's version, micro number m and the
// base's url + "." + m. The base is the last selected patch, else the last
// version line, else an empty url with version 0.
PatchEntry MicroPatchFor(const PatchList& list, int micro);

// The package file name of a url ("" when the url cannot name a package in
// the download directory: no "/", nothing after it, ".", "..", a backslash or
// a control character in it, or too long).
std::string PackageFileName(std::string_view url);

}  // namespace kestra::app
