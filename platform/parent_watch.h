// Ends the process when its parent process ends.
#pragma once

namespace platform::parent_watch {

// Starts a thread that waits for the parent process to end and then ends
// this process at once with exit code 0 (nothing else runs any more). False
// when there is no parent to watch (started by the init process, or the
// parent has gone already) or the watch cannot be set up.
bool Start();
// Stops watching; the parent's end no longer ends the process.
void Stop();

}  // namespace platform::parent_watch
