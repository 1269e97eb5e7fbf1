#pragma once
// Packet access on Linux kernel devices: the device factory a runner installs with
// EthDevPamManager::defaultDeviceFactoryIs(afPacketDeviceFactory(loop)).
//
// Each socket is an AfPacketSocket on the interface's kernel device, watched by the event
// loop. With perIntfSocket off, interfaces carried by the same device share one socket and
// each receives every frame of the device.

#include "platform/intf/EthDevPamManager.h"
#include "platform/kiln/EventLoop.h"

namespace Interface {

// Interfaces without a kernel device entry get no socket; opening errors (no such device,
// no CAP_NET_RAW) propagate to the manager, which reports them.
EthDevPamManager::DeviceFactory afPacketDeviceFactory(Kiln::EventLoop& loop);

}  // namespace Interface
