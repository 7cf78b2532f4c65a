#pragma once
// Process-wide allocator tuning.

namespace platform {

// The downloader allocates and frees block buffers (64 KiB to a few MiB) at
// the network's pace. By default such buffers are mapped and unmapped (or
// trimmed) each time, so every byte received also costs a page fault. This
// keeps freed memory for reuse, up to about the pending-write limit.
void KeepFreedBlockMemory();

}  // namespace platform
