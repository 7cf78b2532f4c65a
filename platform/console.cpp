#include "platform/console.h"

#include <signal.h>

namespace platform::console {
namespace {

constexpr int kIgnored[] = {SIGINT, SIGQUIT, SIGPIPE};
constexpr int kCount = sizeof kIgnored / sizeof kIgnored[0];

struct sigaction g_previous[kCount];
bool g_installed = false;

}  // namespace

void IgnoreInterrupts() {
  if (g_installed) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int i = 0; i < kCount; ++i) sigaction(kIgnored[i], &ignore, &g_previous[i]);
  g_installed = true;
}

void RestoreInterrupts() {
  if (!g_installed) return;
  for (int i = 0; i < kCount; ++i) sigaction(kIgnored[i], &g_previous[i], nullptr);
  g_installed = false;
}

}  // namespace platform::console
