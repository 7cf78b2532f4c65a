#include "updater/config/settings.h"

#include <gtest/gtest.h>

#include "updater/config/update_context.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace kestra::config;

TEST(Version, ParseAndPack) {
  struct {
    const char* text;
    std::uint32_t packed;
  } cases[] = {
      {"1.2.3", 0x01020003u},
      {"2.5.17", 0x02050011u},
      {"2.0.300beta", 0x0200012Cu},
      {"1.2.70000", 0x01021170u},  // build keeps its low 16 bits: 4464
      {" 3. 1.  0", 0x03010000u},  // "%d" skips leading blanks
      {"+1.-1.2", 0x01FF0002u},    // signs; -1 truncates to 0xFF
      {"1.2", 0},
      {"", 0},
      {"a.b.c", 0},
      {"1 .2.3", 0},  // the dot must follow the number at once
      {"0.0.0", 0},
      {"99999999999.1.1", 0xFF010001u},  // saturates, then truncated
  };
  for (const auto& c : cases) EXPECT_EQ(ParseVersion(c.text), c.packed) << c.text;
}

TEST(Version, ComparisonIsUnsignedOnThePackedForm) {
  EXPECT_GT(ParseVersion("2.0.0"), ParseVersion("1.255.0"));
  EXPECT_EQ(ParseVersion("1.2.70000"), ParseVersion("1.2.4464"));
  EXPECT_GT(ParseVersion("200.0.0"), ParseVersion("100.0.0"));  // top bit set
  EXPECT_EQ(FormatVersion(ParseVersion("3.1.0")), "3.1.0");
}

class InstallFixture : public testing::Test {
 protected:
  void SetUp() override {
    kestra::MutableContext() = kestra::UpdateContext{};
    kestra::MutableContext().install_root = dir_.path() + "/";
  }
  kestra::test::TempDir dir_;
};

TEST_F(InstallFixture, ReadsSettingsWithDefaults) {
  dir_.Write("update.ini", "[Setting]\r\nVersion=3.1.0\r\nSubVersion=x\r\nmicrover=5\r\n");
  EXPECT_EQ(ReadVersion(""), ParseVersion("3.1.0"));
  EXPECT_EQ(ReadSubVersion(), 0);  // not a number
  EXPECT_EQ(ReadMicroFlag(), 5);
  EXPECT_EQ(ReadVersion("res.ini"), 0u);  // missing file
  EXPECT_EQ(ReadSetting("", "Setting", "Background", "bk.bmp"), "bk.bmp");
  EXPECT_EQ(ReadSetting("update.ini", "Setting", "VERSION", ""), "3.1.0");
}

TEST_F(InstallFixture, WriteResourceVersionReplacesTheWholeFile) {
  dir_.Write("res.ini", "[Other]\r\nKey=1\r\n[Setting]\r\nVersion=1.0.0\r\n");
  ASSERT_TRUE(WriteResourceVersion(ParseVersion("3.1.0"), "res.ini"));
  EXPECT_EQ(dir_.Read("res.ini"), "[Setting]\r\nVersion=3.1.0");
  EXPECT_EQ(ReadVersion("res.ini"), ParseVersion("3.1.0"));
}

TEST_F(InstallFixture, WriteResourceVersionZeroWritesNothing) {
  EXPECT_TRUE(WriteResourceVersion(0, "res.ini"));
  EXPECT_FALSE(dir_.Exists("res.ini"));
  EXPECT_FALSE(WriteResourceVersion(ParseVersion("1.0.0"), "missing-dir/res.ini"));
}

TEST(EffectiveVersion, Table) {
  struct {
    const char* update;
    const char* base;
    const char* hd;
    std::uint32_t flags;
    const char* expected;
  } cases[] = {
      {"3.1.0", "3.0.9", "0.0.0", 1, "3.0.9"},
      {"3.1.0", "3.0.9", "0.0.0", 0, "3.1.0"},  // base set absent
      {"3.1.0", "0.0.0", "0.0.0", 3, "3.1.0"},  // unknown versions never lower it
      {"3.1.0", "3.2.0", "3.0.5", 3, "3.0.5"},
      {"3.1.0", "3.0.1", "3.0.5", 3, "3.0.1"},
      {"3.1.0", "3.0.1", "3.0.5", 2, "3.0.5"},
      {"0.0.0", "1.0.0", "1.0.0", 3, "0.0.0"},
  };
  for (const auto& c : cases) {
    kestra::UpdateContext& ctx = kestra::MutableContext();
    ctx.update_version = ParseVersion(c.update);
    ctx.base_resource_version = ParseVersion(c.base);
    ctx.hd_resource_version = ParseVersion(c.hd);
    ctx.resource_set_flags = c.flags;
    EXPECT_EQ(FormatVersion(EffectiveInstalledVersion()), c.expected)
        << c.update << " " << c.base << " " << c.hd << " flags " << c.flags;
  }
}

}  // namespace
