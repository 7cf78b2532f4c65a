#include "tools/pack/package_builder.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/fs.h"
#include "updater/patch/package_format.h"

namespace kestra::pack {

using patch::AppendLe32;

namespace {

constexpr std::size_t kWritePiece = 1u << 20;
constexpr std::uint64_t kMaxFileBytes = 2047ull << 20;  // what a section can carry

void AppendRecord(std::string& out, std::size_t skip, std::string_view bytes) {
  AppendLe32(out, static_cast<std::uint32_t>(skip));
  AppendLe32(out, static_cast<std::uint32_t>(bytes.size()));
  out.append(bytes);
}

bool ListInto(const std::string& root, const std::string& relative,
              std::vector<std::string>& names) {
  const std::string dir = relative.empty() ? root : root + "/" + relative;
  const auto entries = platform::fs::ListDirectory(dir);
  if (!entries) return false;
  for (const auto& entry : *entries) {
    const std::string name = relative.empty() ? entry.name : relative + "/" + entry.name;
    if (entry.is_directory) {
      if (!ListInto(root, name, names)) return false;
    } else {
      names.push_back(name);
    }
  }
  return true;
}

bool ReadFile(const std::string& path, std::string& out, std::string& error) {
  if (!platform::fs::ReadWholeFile(path, out, kMaxFileBytes)) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

bool ListLineSafe(std::string_view name) {
  if (name.empty() || name.front() == ' ' || name.back() == ' ') return false;
  return name.find_first_of("\r\n") == std::string_view::npos &&
         name.find(">>") == std::string_view::npos;
}

}  // namespace

std::string MakePatchRecords(std::string_view old_data, std::string_view new_data) {
  std::string out;
  const std::size_t common = std::min(old_data.size(), new_data.size());
  const bool longer = new_data.size() > common;
  auto differs = [&](std::size_t k) { return old_data[k] != new_data[k]; };
  // The first differing byte at or after i, a block at a time where equal.
  auto next_difference = [&](std::size_t i) {
    while (i < common) {
      const std::size_t block = std::min<std::size_t>(4096, common - i);
      if (std::memcmp(old_data.data() + i, new_data.data() + i, block) != 0) {
        while (!differs(i)) ++i;
        return i;
      }
      i += block;
    }
    return common;
  };

  std::size_t position = 0;  // where the file stands after the last record
  std::size_t i = next_difference(0);
  while (i < common) {
    const std::size_t start = i;
    std::size_t end = i + 1;  // one past the last byte this record writes
    for (;;) {
      std::size_t k = end;
      while (k < common && k - end < kMergeGap && !differs(k)) ++k;
      if (k < common && k - end < kMergeGap) {
        end = k + 1;  // a short equal gap is cheaper to rewrite
        continue;
      }
      break;
    }
    if (longer && common - end < kMergeGap) end = new_data.size();  // joins the new tail
    AppendRecord(out, start - position, new_data.substr(start, end - start));
    position = end;
    i = end >= common ? common : next_difference(end);
  }
  if (longer && position < new_data.size())
    AppendRecord(out, common - position, new_data.substr(common));
  return out;
}

PackageWriter::~PackageWriter() {
  if (bz_ != nullptr) {
    int error = BZ_OK;
    BZ2_bzWriteClose(&error, static_cast<BZFILE*>(bz_), 1, nullptr, nullptr);
  }
  if (file_ != nullptr) std::fclose(file_);
}

bool PackageWriter::Open(const std::string& path, std::string_view magic,
                         std::uint32_t version, std::uint32_t spare) {
  if (magic.size() != 4) {
    error_ = "the magic must be four bytes";
    return false;
  }
  file_ = std::fopen(platform::fs::NativePath(path).c_str(), "wb");
  if (file_ == nullptr) {
    error_ = "cannot create " + path;
    return false;
  }
  std::string header(magic);
  AppendLe32(header, version);
  AppendLe32(header, spare);
  if (std::fwrite(header.data(), header.size(), 1, file_) != 1) {
    error_ = "cannot write " + path;
    return false;
  }
  int error = BZ_OK;
  bz_ = BZ2_bzWriteOpen(&error, file_, 9, 0, 30);
  if (error != BZ_OK) {
    bz_ = nullptr;
    error_ = "cannot start the bzip2 stream";
    return false;
  }
  return true;
}

bool PackageWriter::WriteRaw(std::string_view bytes) {
  if (bz_ == nullptr) return false;
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kWritePiece);
    int error = BZ_OK;
    BZ2_bzWrite(&error, static_cast<BZFILE*>(bz_), const_cast<char*>(bytes.data()),
                static_cast<int>(piece));
    if (error != BZ_OK) {
      error_ = "bzip2 write failed";
      return false;
    }
    bytes.remove_prefix(piece);
  }
  return true;
}

bool PackageWriter::AddSection(std::uint32_t kind, std::uint32_t target_length,
                               std::string_view name, std::string_view data) {
  std::string head;
  AppendLe32(head, kind);
  AppendLe32(head, target_length);
  AppendLe32(head, static_cast<std::uint32_t>(name.size() + 1));
  head.append(name);
  head.push_back('\0');
  AppendLe32(head, static_cast<std::uint32_t>(data.size()));
  return WriteRaw(head) && WriteRaw(data);
}

bool PackageWriter::Finish() {
  if (bz_ == nullptr) return false;
  int error = BZ_OK;
  BZ2_bzWriteClose(&error, static_cast<BZFILE*>(bz_), 0, nullptr, nullptr);
  bz_ = nullptr;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (error != BZ_OK || !closed) {
    error_ = "cannot finish the package";
    return false;
  }
  return true;
}

bool ListTree(const std::string& dir, std::vector<std::string>& names) {
  names.clear();
  if (!ListInto(dir, "", names)) return false;
  std::sort(names.begin(), names.end());
  return true;
}

bool BuildPackage(const BuildOptions& options, BuildReport& report, std::string& error) {
  report = BuildReport{};
  if (options.magic != patch::kMagicDu1t && options.magic != patch::kMagicZb1t) {
    error = "the magic must be DU1T or ZB1T";
    return false;
  }
  std::vector<std::string> old_names, new_names;
  if (!ListTree(options.old_dir, old_names)) {
    error = "cannot read the old tree " + options.old_dir;
    return false;
  }
  if (!ListTree(options.new_dir, new_names)) {
    error = "cannot read the new tree " + options.new_dir;
    return false;
  }
  const std::set<std::string> old_set(old_names.begin(), old_names.end());

  // The tree the file sections must leave behind: the new tree with every
  // moved file still at its source, since the moves come last.
  std::map<std::string, std::string> wanted;  // name -> file of the new tree
  for (const std::string& name : new_names) wanted[name] = name;
  std::string move_text;
  if (!options.move_list_file.empty()) {
    if (!platform::fs::ReadWholeFile(options.move_list_file, move_text, 16u << 20)) {
      error = "cannot read the move list " + options.move_list_file;
      return false;
    }
    std::set<std::string> used;
    for (const patch::MoveItem& item : patch::ParseMoveList(move_text)) {
      const std::string relative = item.destination + "/" + item.source;
      if (!patch::IsSafeRelativeName(item.source) || !patch::IsSafeRelativeName(relative)) {
        error = "move list entry leaves the tree: " + item.source + " >> " + item.destination;
        return false;
      }
      const std::string source = patch::NormalizeRelative(item.source);
      const std::string destination = patch::NormalizeRelative(relative);
      if (source == destination) continue;
      if (!used.insert(source).second || !used.insert(destination).second) {
        error = "move list names a file twice: " + item.source;
        return false;
      }
      auto found = wanted.find(destination);
      if (found == wanted.end() || found->second != destination) {
        error = "the new tree lacks the moved file " + destination;
        return false;
      }
      if (wanted.count(source) != 0) {
        error = "the new tree still has the moved file " + source;
        return false;
      }
      wanted.erase(found);
      wanted[source] = destination;
      ++report.moved;
    }
  }

  std::vector<std::string> removed;
  for (const std::string& name : old_names)
    if (wanted.count(name) == 0) removed.push_back(name);
  for (const std::string& name : removed) {
    if (!ListLineSafe(name)) {
      error = "a removed file cannot be named in the delete list: " + name;
      return false;
    }
  }

  report.output = options.output.empty()
                      ? patch::PackageFileName(options.version, options.micro)
                      : options.output;
  PackageWriter writer;
  if (!writer.Open(report.output, options.magic, options.version)) {
    error = writer.error();
    return false;
  }
  for (const auto& [name, from] : wanted) {
    std::string new_data;
    if (!ReadFile(options.new_dir + "/" + from, new_data, error)) return false;
    bool written;
    if (old_set.count(name) != 0) {
      std::string old_data;
      if (!ReadFile(options.old_dir + "/" + name, old_data, error)) return false;
      if (old_data == new_data) continue;
      const std::string records = MakePatchRecords(old_data, new_data);
      if (records.size() < new_data.size()) {
        written = writer.AddSection(patch::kKindModi, static_cast<std::uint32_t>(new_data.size()),
                                    name, records);
        ++report.modified;
      } else {
        written = writer.AddSection(patch::kKindAddf, 0, name, new_data);
        ++report.added;
      }
    } else {
      written = writer.AddSection(patch::kKindAddf, 0, name, new_data);
      ++report.added;
    }
    if (!written) {
      error = writer.error();
      return false;
    }
  }
  if (!removed.empty()) {
    std::string list;
    for (const std::string& name : removed) list += name + "\n";
    if (!writer.AddSection(patch::kKindAddf, 0, patch::kDeleteListName, list)) {
      error = writer.error();
      return false;
    }
    report.deleted = static_cast<int>(removed.size());
  }
  if (!options.move_list_file.empty() &&
      !writer.AddSection(patch::kKindAddf, 0, patch::kMoveListName, move_text)) {
    error = writer.error();
    return false;
  }
  if (!writer.WriteRaw(kTrailer) || !writer.Finish()) {
    error = writer.error();
    return false;
  }
  return true;
}

}  // namespace kestra::pack
