#include "platform/intf/AfPacketPam.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "platform/intf/AfPacketSocket.h"

namespace Interface {

namespace {

// One kernel socket and the pams it feeds.
class DeviceSocket {
 public:
  DeviceSocket(Kiln::EventLoop& loop, const std::string& device, bool bulk)
      : loop_(loop), socket_(device), batch_(bulk ? AfPacketSocket::kBatchFrames : 1) {
    loop_.fdIs(socket_.fd(), EPOLLIN, [this](std::uint32_t) { handleReadable(); });
  }
  ~DeviceSocket() { loop_.fdDel(socket_.fd()); }

  void pamIs(Pam* pam) { pams_.push_back(pam); }
  void pamDel(Pam* pam) { std::erase(pams_, pam); }
  bool transmit(std::span<const std::uint8_t> frame) { return socket_.send(frame); }
  PamDevice::RxLosses rxLosses() { return {socket_.truncatedFrames(), socket_.kernelDrops()}; }

 private:
  void handleReadable() {
    try {
      socket_.receive(
          [this](std::span<const std::uint8_t> frame) {
            for (Pam* pam : pams_) pam->rxFrame(frame);
          },
          batch_);
    } catch (const std::exception& e) {
      // The socket stays on the loop: a transient failure must not end packet access.
      std::fprintf(stderr, "packet socket on %s: %s\n", socket_.device().c_str(), e.what());
    }
  }

  Kiln::EventLoop& loop_;
  AfPacketSocket socket_;
  std::size_t batch_;
  std::vector<Pam*> pams_;
};

// Shared sockets by device, alive while some pam uses them.
using SharedSockets = std::map<std::string, std::weak_ptr<DeviceSocket>>;

class AfPacketDevice : public PamDevice {
 public:
  AfPacketDevice(std::shared_ptr<DeviceSocket> socket, Pam& pam)
      : socket_(std::move(socket)), pam_(pam) {
    socket_->pamIs(&pam_);
  }
  ~AfPacketDevice() override { socket_->pamDel(&pam_); }
  bool transmit(std::span<const std::uint8_t> frame) override { return socket_->transmit(frame); }
  RxLosses rxLosses() override { return socket_->rxLosses(); }

 private:
  std::shared_ptr<DeviceSocket> socket_;
  Pam& pam_;
};

}  // namespace

EthDevPamManager::DeviceFactory afPacketDeviceFactory(Kiln::EventLoop& loop) {
  auto shared = std::make_shared<SharedSockets>();
  return [&loop, shared](EthDevPam& pam, const DeviceIntfStatus* device,
                         const PamSettings& settings) -> std::unique_ptr<PamDevice> {
    if (!device || device->deviceName().empty()) return nullptr;
    const std::string& name = device->deviceName();
    std::shared_ptr<DeviceSocket> socket;
    if (!settings.perIntfSocket) socket = (*shared)[name].lock();
    if (!socket) {
      socket = std::make_shared<DeviceSocket>(loop, name, settings.enableBulkPamRead);
      if (!settings.perIntfSocket) (*shared)[name] = socket;
    }
    return std::make_unique<AfPacketDevice>(std::move(socket), pam);
  };
}

}  // namespace Interface
