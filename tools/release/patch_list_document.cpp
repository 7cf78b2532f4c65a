#include "tools/release/patch_list_document.h"

#include <algorithm>

#include "updater/config/scan.h"
#include "updater/config/settings.h"

namespace kestra::release {
namespace {

bool IsControlToken(std::string_view token) {
  return token.starts_with("##") || token.starts_with("#!");
}

}  // namespace

std::optional<std::uint32_t> ScanListVersion(std::string_view token) {
  int parts[3] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= token.size() || token[pos] != '.') return std::nullopt;
      ++pos;
    }
    if (!config::ScanDecimal(token, pos, parts[i])) return std::nullopt;
  }
  return config::PackVersion(parts[0], parts[1], parts[2]);
}

std::optional<std::uint32_t> ParseStrictVersion(std::string_view text) {
  constexpr long kLimits[3] = {0xFF, 0xFF, 0xFFFF};
  long parts[3] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    std::size_t digits = 0;
    long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 6) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || value > kLimits[i]) return std::nullopt;
    parts[i] = value;
  }
  if (pos != text.size()) return std::nullopt;
  std::uint32_t packed = config::PackVersion(static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                                             static_cast<int>(parts[2]));
  if (packed == 0) return std::nullopt;  // 0 means "no version" to the updater
  return packed;
}

EntryKind KindOf(const ListEntry& entry) {
  if (entry.tokens.empty()) return EntryKind::Other;
  const std::string& first = entry.tokens.front();
  if (ScanListVersion(first)) return EntryKind::Version;
  if (IsControlToken(first)) return EntryKind::Control;
  if (first.starts_with(kTaskBaseKey)) return EntryKind::TaskBase;
  return EntryKind::Other;
}

bool PatchListDocument::Parse(std::string_view text, std::string& error) {
  entries_.clear();
  if (text.size() > kMaxPatchListBytes) {
    error = "the patch list is larger than " + std::to_string(kMaxPatchListBytes) + " bytes";
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    error = "the patch list holds NUL bytes: not a text document";
    return false;
  }
  std::size_t pos = 0;
  auto next_token = [&]() -> std::optional<std::string> {
    while (pos < text.size() && config::IsScanSpace(text[pos])) ++pos;
    if (pos >= text.size()) return std::nullopt;
    std::size_t start = pos;
    while (pos < text.size() && !config::IsScanSpace(text[pos])) ++pos;
    return std::string(text.substr(start, pos - start));
  };
  for (;;) {
    std::optional<std::string> first = next_token();
    if (!first) break;
    if (entries_.size() >= kMaxPatchListEntries) {
      entries_.clear();
      error = "the patch list has more than " + std::to_string(kMaxPatchListEntries) + " entries";
      return false;
    }
    ListEntry entry;
    const bool control = IsControlToken(*first) && !ScanListVersion(*first);
    entry.tokens.push_back(std::move(*first));
    for (int more = control ? 2 : 1; more > 0; --more) {
      std::optional<std::string> token = next_token();
      if (!token) break;
      entry.tokens.push_back(std::move(*token));
    }
    entries_.push_back(std::move(entry));
  }
  return true;
}

std::optional<std::string> PatchListDocument::TaskBase() const {
  std::optional<std::string> base;
  for (const ListEntry& e : entries_) {
    if (KindOf(e) == EntryKind::TaskBase) base = e.tokens.size() > 1 ? e.tokens[1] : std::string();
  }
  return base;
}

const ListEntry* PatchListDocument::LastVersionLine() const {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
    if (KindOf(*it) == EntryKind::Version) return &*it;
  return nullptr;
}

std::optional<std::uint32_t> PatchListDocument::LastVersion() const {
  const ListEntry* last = LastVersionLine();
  if (last == nullptr) return std::nullopt;
  return ScanListVersion(last->tokens.front());
}

bool PatchListDocument::HasControlLine() const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [](const ListEntry& e) { return KindOf(e) == EntryKind::Control; });
}

bool PatchListDocument::EndsIncomplete() const {
  if (entries_.empty()) return false;
  const ListEntry& last = entries_.back();
  return last.tokens.size() < (KindOf(last) == EntryKind::Control ? 3u : 2u);
}

void PatchListDocument::SetTaskBase(std::string_view url) {
  std::erase_if(entries_, [](const ListEntry& e) { return KindOf(e) == EntryKind::TaskBase; });
  entries_.insert(entries_.begin(), ListEntry{{std::string(kTaskBaseKey), std::string(url)}});
}

void PatchListDocument::SetControl(int sharing_mode, int countdown_seconds) {
  std::erase_if(entries_, [](const ListEntry& e) { return KindOf(e) == EntryKind::Control; });
  auto at = entries_.begin();
  while (at != entries_.end() && KindOf(*at) == EntryKind::TaskBase) ++at;
  // The third word is read and not used by the updater.
  entries_.insert(at, ListEntry{{"##" + std::to_string(sharing_mode),
                                 std::to_string(countdown_seconds), "share"}});
}

void PatchListDocument::AppendVersion(std::uint32_t version, std::string_view url) {
  entries_.push_back(ListEntry{{config::FormatVersion(version), std::string(url)}});
}

std::string PatchListDocument::Text() const {
  std::string out;
  for (const ListEntry& e : entries_) {
    for (std::size_t i = 0; i < e.tokens.size(); ++i) {
      if (i > 0) out += ' ';
      out += e.tokens[i];
    }
    out += "\r\n";
  }
  return out;
}

}  // namespace kestra::release
