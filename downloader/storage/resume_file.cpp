#include "downloader/storage/resume_file.h"

#include <vector>

#include "downloader/storage/ini_file.h"
#include "downloader/storage/seed_limits.h"

namespace zelt {
namespace {

constexpr const char* kGlobal = "Global";
constexpr const char* kAllFileId = "AllFileId";
constexpr const char* kCompletePartId = "CompletePartId";
constexpr const char* kHttpBeginLocation = "HttpBeginLocation";

// "a|b|c" as numbers; an empty text is an empty list, an empty item fails.
bool ParseIdList(std::string_view text, std::vector<std::uint32_t>& out) {
  out.clear();
  if (text.empty()) return true;
  while (true) {
    const std::size_t bar = text.find('|');
    std::uint32_t value = 0;
    if (!ParseResumeNumber(text.substr(0, bar), value)) return false;
    out.push_back(value);
    if (bar == std::string_view::npos) return true;
    text.remove_prefix(bar + 1);
  }
}

}  // namespace

std::string WriteResumeText(const ResumeData& data) {
  IniFile ini;
  std::string all_ids;
  for (const auto& [file_id, parts] : data.completed_parts) {
    const std::string section = std::to_string(file_id);
    if (!all_ids.empty()) all_ids += '|';
    all_ids += section;
    std::string ids;
    parts.ForEach([&ids](std::uint32_t lo, std::uint32_t hi) {
      for (std::uint64_t id = lo; id <= hi; ++id) {
        if (!ids.empty()) ids += '|';
        ids += std::to_string(id);
      }
    });
    ini.Set(section, kCompletePartId, ids);
    auto begin = data.http_begin.find(file_id);
    const std::uint32_t location = begin == data.http_begin.end() ? 0 : begin->second;
    ini.Set(section, kHttpBeginLocation, std::to_string(static_cast<std::int32_t>(location)));
  }
  ini.Set(kGlobal, kAllFileId, all_ids);
  return ini.Text();
}

bool ReadResumeText(std::string_view text, ResumeData& out) {
  IniFile ini;
  if (!ini.Parse(text)) return false;
  const std::optional<std::string> all_ids = ini.Get(kGlobal, kAllFileId);
  if (!all_ids) return false;
  std::vector<std::uint32_t> file_ids;
  if (!ParseIdList(*all_ids, file_ids)) return false;

  ResumeData data;
  std::vector<std::uint32_t> part_ids;
  for (std::uint32_t file_id : file_ids) {
    const std::string section = std::to_string(file_id);
    RangeSet& completed = data.completed_parts[file_id];
    completed.Clear();
    if (auto parts = ini.Get(section, kCompletePartId)) {
      if (!ParseIdList(*parts, part_ids)) return false;
      for (std::uint32_t id : part_ids) completed.Insert(id);
    }
    if (auto location = ini.Get(section, kHttpBeginLocation)) {
      std::uint32_t value = 0;
      if (!ParseResumeNumber(*location, value)) return false;
      data.http_begin[file_id] = value;
    }
  }
  out = std::move(data);
  return true;
}

}  // namespace zelt
