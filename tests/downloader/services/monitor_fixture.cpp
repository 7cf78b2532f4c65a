// A monitor component for the tests: its views only count how often they
// were opened.
#include <atomic>

#include "platform/dynlib.h"

#ifndef MONITOR_FILE_VERSION
#define MONITOR_FILE_VERSION "1.0.3.4"
#endif
KESTRA_FILE_VERSION(MONITOR_FILE_VERSION);

namespace {
std::atomic<int> g_p2p_views{0};
std::atomic<int> g_block_views{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) void ShowP2PDialog() { ++g_p2p_views; }
extern "C" __attribute__((visibility("default"))) void ShowFileBlockDialog() { ++g_block_views; }
extern "C" __attribute__((visibility("default"))) int P2PViews() { return g_p2p_views; }
extern "C" __attribute__((visibility("default"))) int BlockViews() { return g_block_views; }
