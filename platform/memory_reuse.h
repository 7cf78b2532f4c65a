// How the process's allocator hands memory back to the system.
#pragma once

#include <cstddef>

namespace platform::memory {

// Blocks up to largest_block bytes come from the heap instead of fresh
// mappings, and up to keep_bytes of freed heap memory stay in the process:
// a program that allocates and frees many equal large buffers (the
// downloader's block buffers) then reuses pages it has already touched
// instead of taking a page fault for every page of every buffer.
void KeepFreedBlocks(std::size_t largest_block, std::size_t keep_bytes);

}  // namespace platform::memory
