#include "updater/config/settings.h"

#include "platform/fs.h"
#include "platform/profile.h"
#include "updater/config/scan.h"
#include "updater/config/update_context.h"

namespace kestra::config {
namespace {

std::string PathOf(std::string_view file) {
  return Context().install_root + std::string(file.empty() ? std::string_view("update.ini") : file);
}

int Atoi(std::string_view text) {
  std::size_t pos = 0;
  int value = 0;
  return ScanDecimal(text, pos, value) ? value : 0;
}

}  // namespace

std::string ReadSetting(std::string_view file, std::string_view section, std::string_view key,
                        std::string_view default_value) {
  return platform::profile::GetString(PathOf(file), section, key, default_value, kSettingBufferSize);
}

bool WriteSetting(std::string_view file, std::string_view section, std::string_view key,
                  std::string_view value) {
  return platform::profile::WriteString(PathOf(file), section, key, value);
}

std::uint32_t PackVersion(int major, int minor, int build) {
  return ((static_cast<std::uint32_t>(major) & 0xFFu) << 24) |
         ((static_cast<std::uint32_t>(minor) & 0xFFu) << 16) |
         (static_cast<std::uint32_t>(build) & 0xFFFFu);
}

std::uint32_t ParseVersion(std::string_view text) {
  int parts[3] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return 0;
      ++pos;
    }
    if (!ScanDecimal(text, pos, parts[i])) return 0;
  }
  return PackVersion(parts[0], parts[1], parts[2]);
}

std::string FormatVersion(std::uint32_t version) {
  return std::to_string(version >> 24) + "." + std::to_string((version >> 16) & 0xFFu) + "." +
         std::to_string(version & 0xFFFFu);
}

std::uint32_t ReadVersion(std::string_view file) {
  return ParseVersion(ReadSetting(file, "Setting", "Version", "0.0.0"));
}

int ReadSubVersion() { return Atoi(ReadSetting("", "Setting", "SubVersion", "0")); }

int ReadMicroFlag() { return Atoi(ReadSetting("", "Setting", "microver", "0")); }

bool WriteResourceVersion(std::uint32_t version, std::string_view file) {
  if (version == 0) return true;
  return platform::fs::WriteWholeFile(PathOf(file), "[Setting]\r\nVersion=" + FormatVersion(version));
}

std::uint32_t EffectiveInstalledVersion() {
  const UpdateContext& c = Context();
  std::uint32_t v = c.update_version;
  if (c.base_resource_version != 0 && c.base_resource_version < v && (c.resource_set_flags & 1u))
    v = c.base_resource_version;
  if (c.hd_resource_version != 0 && c.hd_resource_version < v && (c.resource_set_flags & 2u))
    v = c.hd_resource_version;
  return v;
}

}  // namespace kestra::config
