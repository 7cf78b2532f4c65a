// Console control of the downloader core: the interrupt keys (Ctrl+C, and
// Ctrl+\ in the place of Ctrl+Break) do not end the process; hang-up and
// termination keep their default action and end it. A write to a closed
// pipe fails instead of ending the process.
#pragma once

namespace platform::console {

void IgnoreInterrupts();
// Puts the previous dispositions back.
void RestoreInterrupts();

}  // namespace platform::console
