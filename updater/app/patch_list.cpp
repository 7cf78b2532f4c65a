#include "updater/app/patch_list.h"

#include "updater/config/scan.h"
#include "updater/config/settings.h"
#include "updater/config/urls.h"

namespace kestra::app {
namespace {

// Hands out the white-space separated tokens of a text one at a time.
class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}
  // False (token empty) once the input has run out.
  bool Next(std::string_view& token) {
    while (pos_ < text_.size() && config::IsScanSpace(text_[pos_])) ++pos_;
    std::size_t start = pos_;
    while (pos_ < text_.size() && !config::IsScanSpace(text_[pos_])) ++pos_;
    token = text_.substr(start, pos_ - start);
    return !token.empty();
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// "%d.%d.%d" at the start of the token; text after the third number is
// ignored.
bool ReadVersionToken(std::string_view token, std::uint32_t& version) {
  int parts[3] = {};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= token.size() || token[pos] != '.') return false;
      ++pos;
    }
    if (!config::ScanDecimal(token, pos, parts[i])) return false;
  }
  version = config::PackVersion(parts[0], parts[1], parts[2]);
  return true;
}

// atoi of the seconds, kept within 0..kMaxCountdownSeconds (a negative
// value stays negative: the dialog ignores it).
int CountdownSeconds(std::string_view token) {
  int value = 0;
  std::size_t pos = 0;
  if (!config::ScanDecimal(token, pos, value)) return 0;
  return value > kMaxCountdownSeconds ? kMaxCountdownSeconds : value;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string PatchListStatusText(PatchListStatus status) {
  switch (status) {
    case PatchListStatus::Ok: return {};
    case PatchListStatus::TooLarge: return "Patch list too large";
    case PatchListStatus::TooManyPatches: return "Patch list names too many patches";
  }
  return {};
}

PatchList ParsePatchList(std::string_view text, std::uint32_t installed_version,
                         std::string_view default_task_base) {
  PatchList list;
  list.task_base = std::string(default_task_base);
  if (text.size() > kMaxPatchListBytes) {
    list.status = PatchListStatus::TooLarge;
    return list;
  }
  Tokens tokens(text);
  bool more = true;
  while (more) {
    std::string_view first, second;
    more = tokens.Next(first);
    if (more) more = tokens.Next(second);

    std::uint32_t version = 0;
    if (ReadVersionToken(first, version)) {
      PatchEntry entry{version, 0, std::string(second)};
      list.last_version_line = entry;
      list.has_last_version_line = true;
      if (version > installed_version) {
        if (list.selected.size() == kMaxSelectedPatches) {
          list.status = PatchListStatus::TooManyPatches;
          list.selected.clear();
          return list;
        }
        list.selected.push_back(std::move(entry));
      }
    } else if (StartsWith(first, "##") || StartsWith(first, "#!")) {
      list.countdown_seconds = CountdownSeconds(second);
      std::string_view unused;
      if (more) more = tokens.Next(unused);
      if (first.size() > 2) {
        switch (first[2]) {
          case '0': list.sharing_mode = 0; break;
          case '1': list.sharing_mode = 1; break;
          case '2': list.sharing_mode = 2; break;
          default: break;
        }
      }
    } else if (StartsWith(first, "#bturl")) {
      // A task base that cannot be a usable address is not taken.
      if (second.size() <= kMaxPatchUrlBytes) list.task_base = std::string(second);
    }
  }
  return list;
}

PatchEntry MicroPatchFor(const PatchList& list, int micro) {
  PatchEntry base;
  if (!list.selected.empty()) {
    base = list.selected.back();
  } else if (list.has_last_version_line) {
    base = list.last_version_line;
  }
  PatchEntry entry;
  entry.version = base.version;
  entry.micro_number = micro;
  entry.url = base.url + "." + std::to_string(micro);
  return entry;
}

std::string PackageFileName(std::string_view url) {
  if (url.size() > kMaxPatchUrlBytes) return {};
  std::string name = config::UrlFileName(url);
  if (name.size() > kMaxPackageNameBytes || name == "." || name == "..") return {};
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    // A GBK character: its trail byte may be 0x5C and is no separator.
    if (c >= 0x81 && c <= 0xFE && i + 1 < name.size()) {
      ++i;
      continue;
    }
    // The platform layer reads a lone backslash as a separator: such a name
    // would leave the download directory.
    if (c == '\\' || c < 0x20 || c == 0x7F) return {};
  }
  return name;
}

}  // namespace kestra::app
