#include "downloader/storage/file.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "downloader/framework/log.h"
#include "downloader/storage/file_system.h"
#include "platform/block_file.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "shared/protocol/protocol.h"

namespace zelt {

namespace proto = kestra::protocol;

namespace {

constexpr const char* kModule = "File";
// The scan hashes a block in pieces of this size, so a huge part never
// needs a buffer of its own size.
constexpr std::uint32_t kScanChunk = 1u << 20;

[[noreturn]] void InvariantFailed(std::uint32_t id, const char* what) {
  std::fprintf(stderr, "File %u invariant failed: %s\n", id, what);
  std::abort();
}

std::vector<FileBlock*> Pointers(const std::vector<std::unique_ptr<FileBlock>>& blocks) {
  std::vector<FileBlock*> out;
  out.reserve(blocks.size());
  for (const auto& b : blocks) out.push_back(b.get());
  return out;
}

}  // namespace

File::File(FileSystem& owner, const FileEntry& entry, const std::string& download_dir)
    : owner_(owner),
      id_(entry.id),
      name_(entry.name),
      path_(download_dir + entry.name),
      size_(entry.size),
      md5_(entry.md5) {
  if (entry.size == 0) {
    PartEntry empty;
    empty.id = entry.parts.empty() ? 0 : entry.parts.front().id;
    empty.md5 = Md5Of("", 0);
    blocks_.push_back(std::make_unique<FileBlock>(id_, 0, empty));
  } else {
    blocks_.reserve(entry.parts.size());
    for (const PartEntry& part : entry.parts)
      blocks_.push_back(std::make_unique<FileBlock>(id_, static_cast<std::uint32_t>(blocks_.size()), part));
  }
  allocator_ = std::make_unique<FileBlockAllocator>(Pointers(blocks_));
  if (entry.size == 0) {
    completed_.Insert(blocks_.front()->part_id());
    SetHaveBit(0);
  }
}

File::~File() { Close(); }

bool File::Open(int fsys, WriteFileThread& thread) {
  auto lock = Lock();
  existed_before_ = platform::fs::Exists(path_);
  backend_ = MakeFileBackend(fsys, thread, [this](const std::string& key, const std::string& value) {
    owner_.SendStatus(key, value);
  });
  backend_->SetCompletionCallback([this](std::uint64_t tag, int error) { OnWriteComplete(tag, error); });
  platform::MakeParentDirectories(path_);
  if (!backend_->Open(path_)) {
    const int code = backend_->LastError();
    ZLOG(log::kError, kModule, "Open file %s error, Error code: %u\n", path_.c_str(), static_cast<unsigned>(code));
    owner_.SendErrorStatus({{proto::kKeyErrorCode, std::to_string(static_cast<unsigned>(code))},
                            {proto::kKeyErrorFile, path_},
                            {proto::kKeyError, proto::kErrOpenFile}});
    backend_.reset();
    return false;
  }
  auto on_disk = backend_->GetSize();
  if (!on_disk || *on_disk != size_) {
    if (!on_disk || !backend_->SetSize(size_)) {
      ZLOG(log::kError, kModule, "SetFileSize error");
      owner_.SendErrorStatus({{proto::kKeyErrorFile, path_}, {proto::kKeyError, proto::kErrSetFileSize}});
      backend_->Close();
      backend_.reset();
      return false;
    }
    ZLOG(log::kInfo, kModule, "File %s, size cut down to %d", path_.c_str(), static_cast<int>(size_));
  }
  backend_->SetOption(1, false);
  backend_->SetOption(2, false);
  return true;
}

void File::Close() {
  std::unique_ptr<IFile> backend;
  {
    auto lock = Lock();
    backend = std::move(backend_);
  }
  if (backend) backend->Close();
}

std::size_t File::FindIndex(std::uint32_t offset) const {
  // The last block starting at or before offset.
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), offset,
                             [](std::uint32_t v, const std::unique_ptr<FileBlock>& b) { return v < b->start(); });
  return it == blocks_.begin() ? blocks_.size() : static_cast<std::size_t>(it - blocks_.begin()) - 1;
}

FileBlock* File::FindBlock(std::uint32_t offset) {
  const std::size_t i = FindIndex(offset);
  if (i >= blocks_.size()) return nullptr;
  FileBlock* b = blocks_[i].get();
  if (b->length() == 0 || offset > b->last()) return nullptr;
  return b;
}

void File::Write(const char* data, std::uint32_t offset, std::uint32_t length) {
  if (length == 0 || size_ == 0 || offset >= size_) return;
  const std::uint32_t end = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{offset} + length - 1, size_ - 1));
  const std::uint32_t clipped = end - offset + 1;
  std::size_t first = FindIndex(offset);
  const std::size_t last = FindIndex(end);
  if (first >= blocks_.size()) first = 0;
  if (last >= blocks_.size()) return;
  for (std::size_t i = first; i <= last; ++i) {
    FileBlock& block = *blocks_[i];
    const FileBlock::Accepted a = block.BufferAndVerify(data, offset, clipped);
    if (a.outside) {
      ZLOG(log::kWarning, kModule, "BufferAndVerify: block[%u, %u], data[%u, %u], write[%u, %u]", block.start(),
           block.length() == 0 ? block.start() : block.last(), offset, end, offset, end);
    }
    if (a.bytes != 0) owner_.AddVerified(a.bytes);
    if (a.verified) {
      owner_.AnnounceBlock(*this, block.index());
      auto lock = Lock();
      ZLOG(log::kTrace, kModule, "Write file try %u[%u]", id_, block.index());
      if (backend_) {
        backend_->Write(block.verified_data(), block.length(), block.start(), block.index());
      } else {
        ZLOG(log::kError, kModule, "Write file error, code = %d. %u[%u]", 6, id_, block.index());
      }
    } else if (!a.outside) {
      ZLOG(log::kTrace, kModule, "block verify err res=%d %u[%u]", static_cast<int>(a.bytes), id_, block.index());
    }
  }
  auto lock = Lock();
  allocator_->Tighten();
  if (allocator_->NothingLeft() && !flushed_ && backend_) {
    flushed_ = true;
    backend_->Flush();
  }
}

void File::OnWriteComplete(std::uint64_t block_index, int error) {
  FileBlock* b = block(static_cast<std::uint32_t>(block_index));
  if (b == nullptr) return;
  if (error != 0) {
    ZLOG(log::kError, kModule, "Write file error, code = %d. %u[%u]", error, id_, b->index());
    owner_.SendErrorStatus({{proto::kKeyErrorCode, std::to_string(static_cast<long>(error))},
                            {proto::kKeyErrorFile, path_},
                            {proto::kKeyError, proto::kErrWriteFile}});
    return;  // the block stays Verified in memory
  }
  if (!b->MarkWritten()) return;
  ZLOG(log::kTrace, kModule, "Write file finish %u[%u], time = %d", id_, b->index(),
       static_cast<int>(platform::clock::TickCount()));
  owner_.AddWritten(b->length());
  auto lock = Lock();
  completed_bytes_ += b->length();
  completed_.Insert(b->part_id());
  owner_.PartWritten(*this, b->part_id());
  if (completed_bytes_ == size_ && backend_ && !read_only_) {
    read_only_ = backend_->ReopenReadOnly();
  }
}

bool File::Read(char* buffer, std::uint32_t length, std::uint32_t offset) {
  while (length > 0) {
    FileBlock* b = FindBlock(offset);
    if (b == nullptr) {
      ZLOG(log::kWarning, kModule, "File::Read out of range.");
      return false;
    }
    const std::uint32_t n = std::min<std::uint32_t>(length, b->last() - offset + 1);
    // A Verified block is copied from memory; if it turned Written meanwhile
    // its bytes are on disk.
    if (!b->CopyVerified(buffer, offset, n)) {
      if (b->state() != BlockState::kWritten) {
        ZLOG(log::kWarning, kModule, "File::Read this block has not yet downloaded");
        return false;
      }
      auto lock = Lock();
      if (!backend_ || !backend_->Read(buffer, n, offset)) return false;
    }
    buffer += n;
    offset += n;
    length -= n;
  }
  return true;
}

void File::BlockFoundWritten(FileBlock& block) {
  owner_.AddVerified(block.length());
  owner_.AddWritten(block.length());
  completed_bytes_ += block.length();
  completed_.Insert(block.part_id());
  owner_.AnnounceBlock(*this, block.index());
}

void File::RestoreCompleted(const RangeSet& parts) {
  auto lock = Lock();
  for (auto& b : blocks_) {
    if (b->length() == 0 || !parts.Contains(b->part_id())) continue;
    if (b->MarkFoundWritten()) BlockFoundWritten(*b);
  }
  if (completed_bytes_ == size_ && backend_ && !read_only_) read_only_ = backend_->ReopenReadOnly();
}

bool File::VerifyBlockOnDisk(std::uint32_t index, std::vector<char>& scratch) {
  FileBlock* b = block(index);
  if (b == nullptr || b->length() == 0) return false;
  if (scratch.size() < std::min(b->length(), kScanChunk)) scratch.resize(std::min(b->length(), kScanChunk));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
  for (std::uint32_t done = 0; ok && done < b->length();) {
    const std::uint32_t n = std::min(b->length() - done, kScanChunk);
    // The back-end's reads are positional and run beside each other.
    ok = backend_ && backend_->Read(scratch.data(), n, std::uint64_t{b->start()} + done) &&
         EVP_DigestUpdate(ctx, scratch.data(), n) == 1;
    done += n;
  }
  Md5Digest digest{};
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, digest.data(), &size) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok || digest != b->md5()) return false;
  auto lock = Lock();
  if (b->MarkFoundWritten()) BlockFoundWritten(*b);
  return true;
}

void File::SetHttpBegin(std::uint32_t location) {
  auto lock = Lock();
  allocator_->SetHttpBegin(location);
  ZLOG(log::kInfo, kModule, "File::SetHttpBegin file_id=%u http_begin=%u", id_, allocator_->begin());
}

std::uint64_t File::completed_bytes() {
  auto lock = Lock();
  return completed_bytes_;
}

RangeSet File::completed_parts() {
  auto lock = Lock();
  return completed_;
}

bool File::read_only() {
  auto lock = Lock();
  return read_only_;
}

void File::SetHaveBit(std::uint32_t index) {
  std::lock_guard<std::mutex> lock(have_mutex_);
  const std::size_t byte = index / 8;
  if (have_.size() <= byte) have_.resize(byte + 1, 0);
  have_[byte] = static_cast<std::uint8_t>(have_[byte] | (1u << (index % 8)));
}

std::vector<std::uint8_t> File::HaveBitmap() {
  std::lock_guard<std::mutex> lock(have_mutex_);
  return have_;
}

bool File::StateBitmap(std::uint8_t* out, std::size_t entries) {
  if (entries < blocks_.size()) return false;
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    const auto s = static_cast<std::uint8_t>(blocks_[i]->state());
    out[(2 * i) / 8] = static_cast<std::uint8_t>(out[(2 * i) / 8] | (s << ((2 * i) % 8)));
  }
  return true;
}

void File::AddPriority(const PrioritySegment& segment) {
  auto lock = Lock();
  priorities_.push_back(segment);
}

std::vector<File::PrioritySegment> File::priorities() {
  auto lock = Lock();
  return priorities_;
}

void File::check_invariant() {
  auto lock = Lock();
  std::uint64_t expect_start = 0;
  std::uint64_t written = 0;
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    FileBlock& b = *blocks_[i];
    if (b.index() != i) InvariantFailed(id_, "block index out of place");
    if (b.start() != expect_start) InvariantFailed(id_, "blocks do not tile the file");
    expect_start += b.length();
    if (b.state() == BlockState::kWritten) written += b.length();
    b.check_invariant();
  }
  if (expect_start != size_) InvariantFailed(id_, "blocks do not cover the file");
  if (written < completed_bytes_) InvariantFailed(id_, "completed bytes above the written blocks");
  allocator_->check_invariant();
}

}  // namespace zelt
