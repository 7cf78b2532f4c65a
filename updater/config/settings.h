// The installation's settings and version files (update.ini, res.ini,
// hdres/res.ini), read and written relative to the install root.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestra::config {

inline constexpr std::size_t kSettingBufferSize = 1024;

// Value of key in install root + file ("" means update.ini); the default when
// the file, section or key is missing. At most 1,023 bytes.
std::string ReadSetting(std::string_view file, std::string_view section,
                        std::string_view key, std::string_view default_value);
bool WriteSetting(std::string_view file, std::string_view section,
                  std::string_view key, std::string_view value);

// Packed version: major in bits 31-24, minor 23-16, build 15-0.
std::uint32_t PackVersion(int major, int minor, int build);
// "%d.%d.%d" by the rules of sscanf; 0 unless exactly three numbers are read.
std::uint32_t ParseVersion(std::string_view text);
std::string FormatVersion(std::uint32_t version);

// [Setting] Version of install root + file, default "0.0.0".
std::uint32_t ReadVersion(std::string_view file);
int ReadSubVersion();
int ReadMicroFlag();

// Rewrites install root + file as exactly "[Setting]\r\nVersion=X.Y.Z".
// Version 0 writes nothing and succeeds.
bool WriteResourceVersion(std::uint32_t version, std::string_view file);

// The version an update starts from: the update version, lowered by a present
// resource set whose version is known and older.
std::uint32_t EffectiveInstalledVersion();

}  // namespace kestra::config
