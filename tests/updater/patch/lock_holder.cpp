// Test helper: holds a file open with no sharing (an OFD lock other processes
// see) until a flag file appears.
//
//   patch_lock_holder FILE READY_FLAG RELEASE_FLAG
//
// Writes READY_FLAG once the file is held; exits 0 after RELEASE_FLAG
// appears, 1 when the file cannot be held.
#include <string>

#include "platform/clock.h"
#include "platform/fs.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  platform::fs::File file;
  if (!file.Open(argv[1], platform::fs::Access::ReadWrite, platform::fs::Disposition::OpenExisting,
                 platform::fs::Share::None))
    return 1;
  platform::fs::WriteWholeFile(argv[2], "ready");
  while (!platform::fs::Exists(argv[3])) platform::clock::SleepMs(5);
  file.Close();
  return 0;
}
