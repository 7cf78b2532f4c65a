#include "updater/config/scan.h"

#include <gtest/gtest.h>

namespace {

using namespace kestra::config;

TEST(Scan, DecimalAndHexLikeScanf) {
  struct {
    const char* text;
    bool hex;
    bool ok;
    int value;
    std::size_t end;
  } cases[] = {
      {"  42x", false, true, 42, 4},
      {"-7", false, true, -7, 2},
      {"+", false, false, 0, 0},
      {"x1", false, false, 0, 0},
      {"4294967297", false, true, 1, 10},            // truncated to 32 bits
      {"99999999999999999999", false, true, -1, 20},  // saturates at 2^63-1, then truncated
      {"ffffffff", true, true, -1, 8},
      {"-1", true, true, -1, 2},
      {"0x1F", true, true, 31, 4},
      {"0xz", true, true, 0, 1},  // "0x" without a digit reads the 0 alone
      {"10", true, true, 16, 2},
      {"zz", true, false, 0, 0},
      {"123456789", true, true, -1, 9},  // beyond 32 bits saturates
  };
  for (const auto& c : cases) {
    std::size_t pos = 0;
    int value = 0;
    bool ok = c.hex ? ScanHex(c.text, pos, value) : ScanDecimal(c.text, pos, value);
    EXPECT_EQ(ok, c.ok) << c.text;
    if (ok) {
      EXPECT_EQ(value, c.value) << c.text;
      EXPECT_EQ(pos, c.end) << c.text;
    }
  }
}

}  // namespace
