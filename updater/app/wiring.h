// Connects the main dialog's hooks to the session, installation, completion
// and the pack flow, and hands the session state to the download flow.
#pragma once

#include "updater/app/dialog.h"

namespace kestra::app {

// Fills the hooks of services that are empty (start_worker, set_cancel_flag,
// install_packages, install_pack, countdown_tick) and registers the process's
// session with the download flow.
void WireUpdater(DialogServices& services);

}  // namespace kestra::app
