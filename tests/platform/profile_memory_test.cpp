// A profile lookup walks the text without building an object per line: a
// 16 MB update.ini made only of empty lines (millions of lines) costs little
// more memory than the file itself. Memory is counted by replacing the
// global allocation functions of this test program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/profile.h"
#include "tests/support/temp_dir.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

// Each block carries its size in front, so that a delete knows what it frees.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  if (g_counting) {
    std::int64_t now = g_live += static_cast<std::int64_t>(size);
    std::int64_t peak = g_peak;
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
  }
  return block + kHeader;
}

void Release(void* p) {
  if (p == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(p) - kHeader;
  if (g_counting) g_live -= static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block));
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }

namespace {

TEST(ProfileMemory, MillionsOfEmptyLinesCostAboutTheFileSize) {
  kestra::test::TempDir dir;
  std::string text;
  // Just under the 16 MiB a profile may have: 8 M empty lines.
  for (int i = 0; i < 8 * 1024 * 1024 - 512; ++i) text += "\r\n";
  text += "[Setting]\r\nVersion=1.2.3\r\nmicrover=1\r\n";
  dir.Write("update.ini", text);
  const auto file_size = static_cast<std::int64_t>(text.size());
  std::string().swap(text);

  g_live = 0;
  g_peak = 0;
  g_counting = true;
  const std::string version = platform::profile::GetString(dir / "update.ini", "Setting", "Version", "0.0.0");
  const std::string missing = platform::profile::GetString(dir / "update.ini", "Setting", "SubVersion", "0");
  const bool written = platform::profile::WriteString(dir / "update.ini", "Setting", "microver", "0");
  g_counting = false;

  EXPECT_EQ(version, "1.2.3");
  EXPECT_EQ(missing, "0");
  EXPECT_TRUE(written);
  // The read keeps the file's bytes; a write also builds the new text once.
  // One object per line would add hundreds of megabytes.
  EXPECT_LE(g_peak.load(), 2 * file_size + (1 << 20)) << "peak bytes " << g_peak.load();
  EXPECT_EQ(platform::profile::GetString(dir / "update.ini", "Setting", "microver", "9"), "0");
}

}  // namespace
