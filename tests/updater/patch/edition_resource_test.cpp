#include "updater/patch/edition_resource.h"

#include <gtest/gtest.h>

#include <string>

namespace kestra::patch {
namespace {

TEST(IsEditionResource, Table) {
  struct Case {
    std::string name;
    bool with_common;     // IsEditionResource(name, true)
    bool without_common;  // IsEditionResource(name, false)
  } cases[] = {
      {"data/ui.rz1", true, true},       {"DATA/UI.RZP", true, true},
      {"map/world.map", true, true},     {"sound.npk", true, true},
      {"hdres/tex.thd", true, true},     {"common/ui.rz1", true, false},
      {"COMMON/x.npk", true, false},     {"vd.exe", false, false},
      {"update.ini", false, false},      {"rz", false, false},
      {"a.rz", false, false},              {"x.r", false, false},
      {"notrz.txt", false, false},       {"vdsetup.rz3", false, false},
      {"VDSETUP.RZ9", false, false},     {"vdlist.map", false, false},
      {"vdsetup.rz", false, false},      {"xvdsetup.rz1", true, true},
      {"sub/vdlist.map", true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsEditionResource(c.name, true), c.with_common) << c.name;
    EXPECT_EQ(IsEditionResource(c.name, false), c.without_common) << c.name;
  }
}

TEST(IsEditionResource, ExemptionsAreConfigurable) {
  const EditionResourceExemptions other{"launch.rz", "boot.npk"};
  EXPECT_FALSE(IsEditionResource("launch.rz0", true, other));
  EXPECT_FALSE(IsEditionResource("boot.npk", true, other));
  EXPECT_TRUE(IsEditionResource("vdsetup.rz3", true, other));
}

TEST(ResourceSetOf, HdresPrefix) {
  EXPECT_EQ(ResourceSetOf("hdres/a.rz1"), 1);
  EXPECT_EQ(ResourceSetOf("HDRes/a.rz1"), 1);
  EXPECT_EQ(ResourceSetOf("hdresfile.npk"), 1);
  EXPECT_EQ(ResourceSetOf("data/hdres/a.rz1"), 0);
  EXPECT_EQ(ResourceSetOf("a.rz1"), 0);
}

}  // namespace
}  // namespace kestra::patch
