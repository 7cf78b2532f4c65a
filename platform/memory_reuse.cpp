#include "platform/memory_reuse.h"

#include <malloc.h>

#include <climits>

namespace platform::memory {

void KeepFreedBlocks(std::size_t largest_block, std::size_t keep_bytes) {
  auto clamp = [](std::size_t v) { return static_cast<int>(v > INT_MAX ? INT_MAX : v); };
  ::mallopt(M_MMAP_THRESHOLD, clamp(largest_block));
  ::mallopt(M_TRIM_THRESHOLD, clamp(keep_bytes));
}

}  // namespace platform::memory
