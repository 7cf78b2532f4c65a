// The system error code of the last failed file call of this thread, in the
// numbering the updater's log lines use (2 file not found, 3 path not found,
// 5 access denied, 32 sharing violation, 112 disk full, 183 already exists).
#pragma once

namespace platform {

int LastErrorCode();

}  // namespace platform
