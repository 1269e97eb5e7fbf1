#include <gtest/gtest.h>

#include <string>

#include "platform/intf/IntfStatusManager.h"

namespace {

using namespace Interface;

TEST(IntfStatusManager, PublishesInterfacesWhoseDeviceTheNamespaceHasWhileItLives) {
  auto all = Kiln::make<AllIntfStatusDir>();
  auto local = Kiln::make<AllIntfStatusLocalDir>();
  auto devices = Kiln::make<DeviceIntfStatusDir>("disd");
  auto kni = Kiln::make<KernelNetInfo::Status>();
  auto rootIs = [&](bool filterByNetNs) {
    auto root = Kiln::make<NetNsIntfStatusManagerRoot>(nullptr, all, local, filterByNetNs);
    root->intfStatusManagerIs(nullptr, devices, kni, Lumen::NamespaceName("default"));
    return root;
  };
  auto published = [&] {
    std::string text;
    for (const auto& [intf, entry] : devices->deviceIntfStatus()) {
      text += intf.stringValue() + "=" + entry->deviceName() + "/";
      text += std::to_string(entry->ifIndex()) + " ";
    }
    return text;
  };
  all->intfStatusIs(IntfId("Ethernet1"), "veth1");
  all->intfStatusIs(IntfId("Ethernet2"), "veth2");
  all->intfStatusIs(IntfId("Vlan10"), "");
  kni->deviceIs("veth1", 11);
  devices->deviceIntfStatusIs(IntfId("Ethernet9"), "stale", 9);  // from an earlier run
  auto root = rootIs(true);
  EXPECT_EQ(published(), "Ethernet1=veth1/11 ");
  kni->deviceIs("veth2", 12);
  EXPECT_EQ(published(), "Ethernet1=veth1/11 Ethernet2=veth2/12 ");
  kni->deviceDel("veth1");
  EXPECT_EQ(published(), "Ethernet2=veth2/12 ");
  local->intfStatusIs(IntfId("Ethernet2"), "veth1");  // the cell's own entry wins
  EXPECT_EQ(published(), "");
  local->intfStatusDel(IntfId("Ethernet2"));
  EXPECT_EQ(published(), "Ethernet2=veth2/12 ");
  all->intfStatusDel(IntfId("Ethernet2"));
  EXPECT_EQ(published(), "");

  root = nullptr;  // the manager's reactors let go with it
  EXPECT_EQ(all->notifieeList().size() + local->notifieeList().size() + kni->notifieeList().size(),
            0u);
  // Without filtering, every interface naming a device is published, with index 0 until
  // the kernel reports the device.
  root = rootIs(false);
  EXPECT_EQ(published(), "Ethernet1=veth1/0 ");
  kni->deviceIs("veth1", 5);
  EXPECT_EQ(published(), "Ethernet1=veth1/5 ");
}

}  // namespace
