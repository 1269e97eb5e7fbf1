#pragma once
// The software ALE layer: what stands in on Linux for the hardware that, on a switch, sends
// the CCMs of the local MEPs the agent configured and watches their remote MEPs.
//
// What a received CCM tells a local MEP. Read from the wire as it stands: the MEP id may be
// out of range and the interval code 0, since judging them is the receiving MEP's business.

#include <array>
#include <cstdint>
#include <optional>

#include "platform/cfm/CcmWire.h"
#include "platform/lumen/Eth.h"
#include "platform/types/CfmTypes.h"

namespace SoftAle {

using Cfm::Maid;

// The values of the Port Status and Interface Status TLVs (IEEE 802.1ag Tables 21-10 and
// 21-11). Carried as bytes: a received CCM may hold any.
enum PortStatus : std::uint8_t { portStatusBlocked = 1, portStatusUp = 2 };
enum InterfaceStatus : std::uint8_t {
  interfaceStatusUp = 1,
  interfaceStatusDown = 2,
  interfaceStatusTesting = 3,
  interfaceStatusUnknown = 4,
  interfaceStatusDormant = 5,
  interfaceStatusNotPresent = 6,
  interfaceStatusLowerLayerDown = 7,
};

struct ReceivedCcm {
  Cfm::MdLevel mdLevel;
  Lumen::EthAddr src;
  std::uint16_t mepId = 0;
  bool rdi = false;
  std::uint8_t intervalCode = 0;  // the flags' low three bits: 1-7 name an interval, 0 none
  std::uint32_t sequence = 0;
  Maid maid{};
  // The values of the Port Status and Interface Status TLVs, when the CCM carries them.
  std::optional<std::uint8_t> portStatus;
  std::optional<std::uint8_t> interfaceStatus;
};

}  // namespace SoftAle
