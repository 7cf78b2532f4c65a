#include <cstdlib>
#include <string>

#include "updater/ui/frontend.h"
#include "updater/ui/script_frontend.h"
#include "updater/ui/tty_frontend.h"

namespace kestra::ui {

std::unique_ptr<Frontend> MakeFrontendFromEnvironment() {
  const char* chosen = std::getenv("KESTRA_UI");
  std::string name;
  if (chosen != nullptr && *chosen != '\0') {
    name = chosen;
  } else {
    const char* display = std::getenv("DISPLAY");
    name = (display != nullptr && *display != '\0') ? "gui" : "tty";
  }
  if (name == "script") return MakeScriptFrontend(ScriptConfig::FromEnvironment());
  // The window frontend is not part of this build yet: the terminal shows the
  // same dialog state.
  return MakeTtyFrontend();
}

}  // namespace kestra::ui
