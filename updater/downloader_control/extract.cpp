#include "updater/downloader_control/extract.h"

#include "platform/private_temp.h"
#include "platform/resource.h"

namespace kestra::dlctl {

std::string DownloaderFileName(std::string_view version_tag) {
  std::string name = "Korvel下载器-";
  name += version_tag;
  name += ".exe";
  return name;
}

ExtractEnvironment DefaultExtractEnvironment() {
  ExtractEnvironment environment;
  environment.find_resource = [](int id) {
    return platform::resource::Find(kDownloaderResourceType, id);
  };
  environment.temp_directory = [] { return platform::private_temp::Directory(); };
  return environment;
}

bool ExtractDownloader(int resource_id, std::string& out_path, std::string_view version_tag) {
  return ExtractDownloader(DefaultExtractEnvironment(), resource_id, out_path, version_tag);
}

bool ExtractDownloader(const ExtractEnvironment& environment, int resource_id,
                       std::string& out_path, std::string_view version_tag,
                       int* error_code) {
  if (error_code) *error_code = 0;
  std::optional<std::string_view> program;
  if (environment.find_resource) program = environment.find_resource(resource_id);
  if (!program) return false;

  std::string name = DownloaderFileName(version_tag);
  std::optional<std::string> directory;
  if (environment.temp_directory) directory = environment.temp_directory();
  if (!directory || directory->empty() || directory->size() > kMaxTempPathBytes) return false;

  out_path = *directory + "/" + name;
  int error = 0;
  bool ok = platform::private_temp::WriteExecutable(*directory, name, *program, &error);
  if (error_code) *error_code = error;
  return ok;
}

}  // namespace kestra::dlctl
