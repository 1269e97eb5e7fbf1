#include "platform/intf/MemoryPam.h"

#include "platform/kiln/Errors.h"

namespace Interface {

class MemoryPamNetwork::Device : public PamDevice {
 public:
  Device(MemoryPamNetwork& network, Pam& pam) : network_(network), intf_(pam.intfId()) {
    const bool inserted = network_.open_.emplace(intf_, &pam).second;
    KILN_ASSERT(inserted);
  }
  ~Device() override { network_.open_.erase(intf_); }

  // The wire takes the frame as it is: the time a sender wrote into it stands.
  bool transmit(std::span<const std::uint8_t> frame, const TxTiming&) override {
    network_.sent_.push_back({intf_, std::string(frame.begin(), frame.end())});
    return true;
  }

 private:
  MemoryPamNetwork& network_;
  IntfId intf_;
};

bool MemoryPamNetwork::inject(IntfId intf, std::span<const std::uint8_t> frame) {
  auto it = open_.find(intf);
  if (it == open_.end()) return false;
  it->second->rxFrame(frame);
  return true;
}

bool MemoryPamNetwork::inject(IntfId intf, const std::string& frame) {
  return inject(intf, {reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()});
}

std::unique_ptr<PamDevice> MemoryPamNetwork::deviceIs(Pam& pam) {
  return std::make_unique<Device>(*this, pam);
}

MemoryPamNetwork& memoryPamNetwork() {
  static MemoryPamNetwork instance;
  return instance;
}

}  // namespace Interface
