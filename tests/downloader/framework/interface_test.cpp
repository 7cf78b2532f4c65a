#include "downloader/framework/interface.h"

#include <gtest/gtest.h>

namespace zelt::framework {
namespace {

class Probe : public IInterface {
 public:
  void OnRegister(IInterfaceMgr* registry) override { seen = registry; }
  IInterfaceMgr* seen = nullptr;
};
class OtherProbe : public IInterface {};

TEST(InterfaceMgrTest, RegistersOnceAndFindsByKind) {
  InterfaceMgr registry;
  Probe probe;
  OtherProbe other;
  EXPECT_TRUE(registry.Register("Probe", &probe));
  EXPECT_EQ(probe.seen, &registry);
  EXPECT_FALSE(registry.Register("Probe", &other));
  EXPECT_FALSE(registry.Register("Null", nullptr));
  EXPECT_EQ(registry.Lookup("Probe"), &probe);
  EXPECT_EQ(registry.Find<Probe>("Probe"), &probe);
  EXPECT_EQ(registry.Find<OtherProbe>("Probe"), nullptr);  // wrong kind
  EXPECT_EQ(registry.Lookup("probe"), nullptr);            // names are exact
  registry.Clear();
  EXPECT_EQ(registry.Lookup("Probe"), nullptr);
  EXPECT_EQ(&InterfaceMgr::Instance(), &InterfaceMgr::Instance());
}

}  // namespace
}  // namespace zelt::framework
