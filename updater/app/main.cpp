#include <cstdio>
#include <cstdlib>

#include "updater/app/app.h"
#include "updater/log/client_log_reporter.h"
#include "updater/log/log.h"

int main(int argc, char** argv) {
  kestra::app::TheApp().InitInstance(kestra::app::ArgumentText(argc, argv));
  // Workers stopped "at once" when the dialog closed may still be running:
  // end without static destruction, so none of them can meet a destroyed
  // object. The reporter gets its 100 ms and the log is closed first.
  kestra::log::Reporter().Shutdown();
  kestra::log::CloseAll();
  std::fflush(nullptr);
  std::_Exit(0);
}
