// Writing the embedded downloader core out as a program file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestra::dlctl {

// Resource id of the downloader core inside the updater, type "PROGRAM".
inline constexpr int kDownloaderResourceId = 153;
inline constexpr char kDownloaderResourceType[] = "PROGRAM";
// Version tag of the one caller.
inline constexpr char kDownloaderVersionTag[] = "Vandor-1.0";
// Longest directory the program file may be written to.
inline constexpr std::size_t kMaxTempPathBytes = 4096;

// "Korvel下载器-" + tag + ".exe"
std::string DownloaderFileName(std::string_view version_tag);

struct ExtractEnvironment {
  // The embedded bytes for a resource id; nullopt when missing.
  std::function<std::optional<std::string_view>(int id)> find_resource;
  // The directory only this user can write; nullopt when there is none.
  std::function<std::optional<std::string>()> temp_directory;
};
// The program's own resources and platform::private_temp::Directory().
ExtractEnvironment DefaultExtractEnvironment();

// Writes the embedded program to the temporary directory under
// DownloaderFileName(version_tag), with its run bit. Once the directory is
// known out_path holds the full file path, also on failure. False when the
// resource is missing, there is no private directory, or the file cannot be
// written whole (for example while a program still runs from it).
bool ExtractDownloader(int resource_id, std::string& out_path, std::string_view version_tag);
bool ExtractDownloader(const ExtractEnvironment& environment, int resource_id,
                       std::string& out_path, std::string_view version_tag,
                       int* error_code = nullptr);

}  // namespace kestra::dlctl
