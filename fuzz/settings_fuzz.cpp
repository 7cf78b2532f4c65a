// Settings and version texts: update.ini read from a real file the way the
// updater reads it at start-up, and the "X.Y.Z" version text.
// fuzz-libs: kestra_config kestra_platform
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "fuzz/support/scratch_dir.h"
#include "platform/fs.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace config = kestra::config;
  const std::string_view text = kestra::fuzz::AsText(data, size);

  const std::uint32_t version = config::ParseVersion(text);
  if (version != 0) Require(config::ParseVersion(config::FormatVersion(version)) == version);

  kestra::MutableContext().install_root = kestra::fuzz::ScratchDir() + "/";
  Require(platform::fs::WriteWholeFile(kestra::fuzz::ScratchDir() + "/update.ini", text));
  (void)config::ReadVersion("update.ini");
  (void)config::ReadSubVersion();
  (void)config::ReadMicroFlag();
  const std::string info = config::ReadSetting("", "Setting", "InfoURL", "");
  Require(info.size() < config::kSettingBufferSize);

  // A written version reads back whatever else the file holds.
  if (config::WriteSetting("", "Setting", "Version", "2.3.4"))
    Require(config::ReadVersion("") == config::PackVersion(2, 3, 4));
  return 0;
}
