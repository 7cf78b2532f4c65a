#include "tools/seed/seed_builder.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "downloader/storage/seed_file.h"
#include "downloader/storage/seed_limits.h"
#include "platform/fs.h"

namespace kestra::seed {
namespace {

namespace fs = platform::fs;

constexpr std::uint64_t kMaxFileBytes = 0xFFFFFFFFull;  // sizes in the seed are 32-bit
constexpr std::size_t kReadPiece = 1u << 20;
constexpr const char* kSeedSuffix = ".seed";

// Characters a name cannot carry when it is also the tail of a URL.
bool UrlSafe(const std::string& name) {
  return name.find_first_of(" %?#\"<>\\") == std::string::npos;
}

bool WalkTree(const std::string& root, const std::string& prefix, std::vector<std::string>& out,
              std::string& error) {
  const std::string dir = prefix.empty() ? root : root + "/" + prefix;
  auto entries = fs::ListDirectory(dir);
  if (!entries) {
    error = "cannot read directory " + dir;
    return false;
  }
  for (const fs::DirEntry& entry : *entries) {
    const std::string name = prefix.empty() ? entry.name : prefix + "/" + entry.name;
    if (entry.is_directory) {
      if (!WalkTree(root, name, out, error)) return false;
    } else {
      if (out.size() >= zelt::kMaxSeedFiles) {
        error = "too many files (at most " + std::to_string(zelt::kMaxSeedFiles) + ")";
        return false;
      }
      out.push_back(name);
    }
  }
  return true;
}

struct DigestContext {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
  DigestContext() { Reset(); }
  void Reset() { EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr); }
  void Update(const char* data, std::size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
  zelt::Md5Digest Final() {
    zelt::Md5Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest.data(), &length);
    Reset();
    return digest;
  }
};

// Digests of the whole file and of each block; the parts tile the file.
bool HashFile(const std::string& path, zelt::FileEntry& file, std::uint32_t block_size, std::string& error) {
  fs::File in;
  if (!in.Open(path, fs::Access::Read, fs::Disposition::OpenExisting)) {
    error = "cannot open " + path;
    return false;
  }
  DigestContext whole, part;
  std::string buffer(std::min<std::size_t>(kReadPiece, block_size), '\0');
  std::uint64_t offset = 0;
  std::uint32_t part_id = 0;
  while (offset < file.size) {
    const std::uint32_t length =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(block_size, file.size - offset));
    std::uint32_t left = length;
    while (left > 0) {
      const std::size_t piece = std::min<std::size_t>(left, buffer.size());
      if (!in.ReadExact(buffer.data(), piece)) {
        error = "cannot read " + path + " (did it change while being read?)";
        return false;
      }
      whole.Update(buffer.data(), piece);
      part.Update(buffer.data(), piece);
      left -= static_cast<std::uint32_t>(piece);
    }
    file.parts.push_back({part_id++, static_cast<std::uint32_t>(offset), length, part.Final()});
    offset += length;
  }
  file.md5 = whole.Final();
  return true;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool SameDirectory(const std::string& a, const std::string& b) {
  auto norm = [](const std::string& p) {
    std::string n = fs::NativePath(p);
    while (n.size() > 1 && n.back() == '/') n.pop_back();
    return n;
  };
  return norm(a) == norm(b);
}

}  // namespace

bool ParseCdnOption(const std::string& text, zelt::TorrentCdn& out) {
  out = {};
  const std::size_t open = text.find('<');
  out.url = text.substr(0, open);
  if (out.url.empty() || out.url.size() > zelt::kMaxUrlBytes) return false;
  if (open == std::string::npos) return true;
  if (text.back() != '>' || text.size() < open + 3) return false;
  return zelt::ParseDecimalI32(text.substr(open + 1, text.size() - open - 2), out.factor);
}

bool ParseTrackerOption(const std::string& text, zelt::TorrentTracker& out) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::uint32_t port = 0;
  if (!zelt::ParseDecimalU32(text.substr(colon + 1), port) || port == 0 || port > 0xFFFF) return false;
  out.ip = text.substr(0, colon);
  out.port = static_cast<std::uint16_t>(port);
  return out.ip.size() <= zelt::kMaxUrlBytes;
}

bool CheckOptions(const BuildOptions& options, std::string& error) {
  if (options.files_dir.empty() || options.out_dir.empty() || options.torrent_name.empty()) {
    error = "--files, --out and --torrent are required";
    return false;
  }
  if (options.block_size == 0) {
    error = "--block-size must be a number of bytes above 0";
    return false;
  }
  if (options.cdns.empty() && options.trackers.empty()) {
    error = "give at least one --cdn URL or --tracker IP:PORT: a torrent must name a server";
    return false;
  }
  if (options.cdns.size() + options.trackers.size() > zelt::kMaxTorrentServers) {
    error = "too many --cdn and --tracker entries";
    return false;
  }
  const std::string seed_name = options.torrent_name + kSeedSuffix;
  if (!zelt::IsSafeRelativeName(seed_name) || !UrlSafe(options.torrent_name)) {
    error = "--torrent " + options.torrent_name + " is not a plain relative name";
    return false;
  }
  if (options.config_path.size() > zelt::kMaxUrlBytes) {
    error = "--config is too long";
    return false;
  }
  if (options.delete_names.size() > zelt::kMaxDeleteNames) {
    error = "too many --delete names";
    return false;
  }
  for (const std::string& name : options.delete_names) {
    if (!zelt::IsSafeRelativeName(name)) {
      error = "--delete " + name + " is not a relative name inside the download directory";
      return false;
    }
  }
  return true;
}

bool Build(const BuildOptions& options, BuildReport& report, std::string& error) {
  if (!CheckOptions(options, error)) return false;
  if (!fs::IsDirectory(options.files_dir)) {
    error = "--files " + options.files_dir + " is not a directory";
    return false;
  }
  std::vector<std::string> names;
  if (!WalkTree(options.files_dir, "", names, error)) return false;
  std::sort(names.begin(), names.end());
  const std::string seed_name = options.torrent_name + kSeedSuffix;
  const bool in_place = SameDirectory(options.files_dir, options.out_dir);
  if (in_place) {
    // A task rebuilt in its own folder: the previous torrent and seed are not task files.
    std::erase_if(names, [&](const std::string& n) { return n == options.torrent_name || n == seed_name; });
  }

  zelt::SeedDocument seed;
  std::uint64_t total_parts = 0;
  std::uint64_t total_bytes = 0;
  // Every check that needs no reading first, so a bad tree fails at once.
  for (const std::string& name : names) {
    const std::string path = options.files_dir + "/" + name;
    if (!zelt::IsSafeRelativeName(name) || !UrlSafe(name)) {
      error = "file name " + name + " cannot be served (blank, %, ?, #, quote, <, > or backslash)";
      return false;
    }
    if (name == options.torrent_name || name == seed_name) {
      error = "file " + name + " has the name of the torrent or of its seed";
      return false;
    }
    const std::optional<std::uint64_t> size = fs::FileSize(path);
    if (!size) {
      error = "cannot read the size of " + path;
      return false;
    }
    if (*size > kMaxFileBytes) {
      error = "file " + name + " is " + std::to_string(*size) +
              " bytes: a task's file must be below 4 GiB (sizes are 32-bit)";
      return false;
    }
    total_parts += (*size + options.block_size - 1) / options.block_size;
    if (total_parts > zelt::kMaxSeedParts) {
      error = "more than " + std::to_string(zelt::kMaxSeedParts) + " blocks: choose a larger --block-size";
      return false;
    }
    zelt::FileEntry file;
    file.id = static_cast<std::uint32_t>(seed.files.size() + 1);
    file.name = name;
    file.size = static_cast<std::uint32_t>(*size);
    total_bytes += *size;
    seed.files.push_back(std::move(file));
  }
  for (zelt::FileEntry& file : seed.files) {
    if (!HashFile(options.files_dir + "/" + file.name, file, options.block_size, error)) return false;
  }
  seed.delete_list = options.delete_names;

  const std::string text = zelt::WriteSeedText(seed);
  const std::string gz = zelt::GzipBytes(text);
  if (text.size() > zelt::kMaxSeedTextBytes || gz.size() > zelt::kMaxSeedFileBytes) {
    error = "the seed would be too large for the downloader: choose a larger --block-size";
    return false;
  }
  // The core must read back exactly what was written.
  if (!zelt::ParseSeedText(text)) {
    error = "internal error: the seed written does not read back";
    return false;
  }

  zelt::TorrentInfo torrent;
  torrent.cdnList = options.cdns;
  torrent.trackers = options.trackers;
  torrent.totalSize = total_bytes;
  torrent.defaultConfigFile = options.config_path;
  torrent.seed.id = 0;
  torrent.seed.name = seed_name;
  torrent.seed.size = static_cast<std::uint32_t>(gz.size());
  torrent.seed.md5 = zelt::Md5Of(gz);
  const std::string torrent_text = zelt::WriteTorrent(torrent);
  if (!zelt::ParseTorrent(torrent_text)) {
    error = "internal error: the torrent written does not read back";
    return false;
  }

  if (!in_place) {
    for (const zelt::FileEntry& file : seed.files) {
      const std::string to = options.out_dir + "/" + file.name;
      if (!fs::MakeDirectories(Parent(to)) ||
          !fs::CopyFile(options.files_dir + "/" + file.name, to, false)) {
        error = "cannot copy " + file.name + " to " + to + ": " + fs::LastErrorText();
        return false;
      }
    }
  }
  report.torrent_path = options.out_dir + "/" + options.torrent_name;
  report.seed_path = options.out_dir + "/" + seed_name;
  if (!fs::MakeDirectories(Parent(report.seed_path)) || !fs::WriteWholeFile(report.seed_path, gz) ||
      !fs::WriteWholeFile(report.torrent_path, torrent_text)) {
    error = "cannot write " + report.torrent_path + ": " + fs::LastErrorText();
    return false;
  }
  report.files = static_cast<std::uint32_t>(seed.files.size());
  report.parts = total_parts;
  report.total_bytes = total_bytes;
  return true;
}

bool Describe(const std::string& torrent_path, std::string& text, std::string& error) {
  std::string torrent_text;
  if (!fs::ReadWholeFile(torrent_path, torrent_text, zelt::kMaxTorrentBytes)) {
    error = "cannot read " + torrent_path;
    return false;
  }
  const std::optional<zelt::TorrentInfo> torrent = zelt::ParseTorrent(torrent_text);
  if (!torrent) {
    error = torrent_path + " is not a torrent";
    return false;
  }
  text += "torrent " + torrent_path + "\n";
  for (const zelt::TorrentCdn& cdn : torrent->cdnList) {
    text += "http " + cdn.url + " " + std::to_string(cdn.factor) + "\n";
  }
  for (const zelt::TorrentTracker& tracker : torrent->trackers) {
    text += "tracker " + tracker.ip + ":" + std::to_string(tracker.port) + "\n";
  }
  text += "config " + torrent->defaultConfigFile + "\n";
  text += "total " + std::to_string(torrent->totalSize) + "\n";

  const std::string seed_path = Parent(torrent_path) + "/" + torrent->seed.name;
  std::string seed_bytes;
  if (!fs::ReadWholeFile(seed_path, seed_bytes, zelt::kMaxSeedFileBytes)) {
    error = "cannot read the seed " + seed_path;
    return false;
  }
  const bool intact = seed_bytes.size() == torrent->seed.size && zelt::Md5Of(seed_bytes) == torrent->seed.md5;
  text += "seed " + torrent->seed.name + " " + std::to_string(torrent->seed.size) + " " +
          zelt::Md5Text(torrent->seed.md5) + (intact ? " ok" : " MISMATCH") + "\n";
  const std::optional<std::string> seed_text = zelt::InflateSeed(seed_bytes);
  const std::optional<zelt::SeedDocument> seed = seed_text ? zelt::ParseSeedText(*seed_text) : std::nullopt;
  if (!seed) {
    error = seed_path + " is not a readable seed";
    return false;
  }
  for (const zelt::FileEntry& file : seed->files) {
    text += "file " + std::to_string(file.id) + " " + std::to_string(file.size) + " " + zelt::Md5Text(file.md5) +
            " " + file.name + "\n";
    for (const zelt::PartEntry& part : file.parts) {
      text += "  block " + std::to_string(part.id) + " " + std::to_string(part.start) + " " +
              std::to_string(part.length) + " " + zelt::Md5Text(part.md5) + "\n";
    }
  }
  for (const std::string& name : seed->delete_list) text += "delete " + name + "\n";
  if (!intact) {
    error = "the seed does not match the torrent's digest";
    return false;
  }
  return true;
}

}  // namespace kestra::seed
