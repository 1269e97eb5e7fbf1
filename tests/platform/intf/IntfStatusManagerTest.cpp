#include <gtest/gtest.h>

#include "platform/intf/IntfStatusManager.h"

namespace {

using Interface::IntfId;

struct Fixture {
  Kiln::Ptr<Interface::AllIntfStatusDir> all = Kiln::make<Interface::AllIntfStatusDir>();
  Kiln::Ptr<Interface::AllIntfStatusLocalDir> local =
      Kiln::make<Interface::AllIntfStatusLocalDir>();
  Kiln::Ptr<Interface::DeviceIntfStatusDir> devices =
      Kiln::make<Interface::DeviceIntfStatusDir>("disd");
  Kiln::Ptr<KernelNetInfo::Status> kni = Kiln::make<KernelNetInfo::Status>();

  Kiln::Ptr<Interface::NetNsIntfStatusManagerRoot> root(bool filter) {
    auto r = Kiln::make<Interface::NetNsIntfStatusManagerRoot>(nullptr, all, local, filter);
    r->intfStatusManagerIs(nullptr, devices, kni, Lumen::NamespaceName("default"));
    return r;
  }
  int ifIndex(const char* intf) const {
    auto entry = devices->deviceIntfStatus(IntfId(intf));
    return entry ? entry->ifIndex() : -1;
  }
};

TEST(IntfStatusManager, PublishesInterfacesWhoseDeviceTheNamespaceHasUntilItGoes) {
  Fixture f;
  f.all->intfStatusIs(IntfId("Ethernet1"), "veth1");
  f.all->intfStatusIs(IntfId("Ethernet2"), "veth2");
  f.all->intfStatusIs(IntfId("Vlan10"), "");
  f.kni->deviceIs("veth1", 11);
  f.devices->deviceIntfStatusIs(IntfId("Ethernet9"), "stale", 9);  // from an earlier run
  auto root = f.root(true);
  EXPECT_EQ(f.ifIndex("Ethernet1"), 11);
  EXPECT_EQ(f.ifIndex("Ethernet2"), -1);
  EXPECT_EQ(f.ifIndex("Vlan10"), -1);
  EXPECT_EQ(f.ifIndex("Ethernet9"), -1);

  f.kni->deviceIs("veth2", 12);
  EXPECT_EQ(f.ifIndex("Ethernet2"), 12);
  f.kni->deviceDel("veth1");
  EXPECT_EQ(f.ifIndex("Ethernet1"), -1);
  f.local->intfStatusIs(IntfId("Ethernet2"), "veth1");  // the cell's own entry wins
  EXPECT_EQ(f.ifIndex("Ethernet2"), -1);
  f.local->intfStatusDel(IntfId("Ethernet2"));
  EXPECT_EQ(f.ifIndex("Ethernet2"), 12);
  f.all->intfStatusDel(IntfId("Ethernet2"));
  EXPECT_EQ(f.ifIndex("Ethernet2"), -1);

  root = nullptr;  // the manager's reactors let go with it
  EXPECT_EQ(f.all->notifieeList().size() + f.local->notifieeList().size() +
                f.kni->notifieeList().size(),
            0u);
  f.kni->deviceIs("veth1", 13);
  EXPECT_EQ(f.ifIndex("Ethernet1"), -1);
}

TEST(IntfStatusManager, WithoutNamespaceFilteringEveryNamedDeviceIsPublished) {
  Fixture f;
  f.all->intfStatusIs(IntfId("Ethernet1"), "veth1");
  auto root = f.root(false);
  EXPECT_EQ(f.ifIndex("Ethernet1"), 0);
  f.kni->deviceIs("veth1", 5);
  EXPECT_EQ(f.ifIndex("Ethernet1"), 5);
  // Asking again with the same arguments keeps the manager.
  auto manager = root->intfStatusManager();
  EXPECT_EQ(root->intfStatusManagerIs(nullptr, f.devices, f.kni, Lumen::NamespaceName("default")),
            manager);
}

}  // namespace
