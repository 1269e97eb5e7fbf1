#pragma once
// pcapng files: the frames a replay feeds to the agent, and the frames it sends.
//
// The reader takes Section Header, Interface Description (with its if_name option),
// Enhanced Packet and Simple Packet blocks in either byte order, and skips every other
// block type. The writer produces one little-endian section with an interface block per
// interface name, in order of first use, and an Enhanced Packet block per frame.

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace Cfmagentd {

class PcapngError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PcapngFrame {
  std::string intf;        // if_name of the frame's interface block; "" when it has none
  // Microseconds, whatever resolution the interface block declares (if_tsresol).
  std::uint64_t time = 0;
  std::string bytes;
  bool operator==(const PcapngFrame&) const = default;
};

// All frames of `path`, in file order. Errors name the file and the byte offset.
std::vector<PcapngFrame> readPcapng(const std::string& path);
// The same for a file image already in memory; `path` is only used in messages.
std::vector<PcapngFrame> readPcapngData(const std::string& path, const std::string& data);

class PcapngWriter {
 public:
  // Creates (or truncates) `path` and writes the section header.
  explicit PcapngWriter(const std::string& path);
  // Appends one Ethernet frame on the interface named `intf`, timestamp in microseconds.
  void write(const std::string& intf, std::uint64_t timeUs, const std::string& bytes);
  void flush();

 private:
  void block(std::uint32_t type, const std::string& body);

  std::string path_;
  std::ofstream out_;
  std::map<std::string, std::uint32_t> interfaceIds_;
};

}  // namespace Cfmagentd
