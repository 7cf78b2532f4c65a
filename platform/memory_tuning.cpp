#include "platform/memory_tuning.h"

#include <malloc.h>

namespace platform {

void KeepFreedBlockMemory() {
  // Buffers below 32 MiB come from the heap instead of their own mapping.
  ::mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  // An arena gives memory back only when more than 128 MiB lies free at its top.
  ::mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
}

}  // namespace platform
