#pragma once
// tshark as the independent decoder of frames and captures: what our code wrote is read by
// someone who does not share our reading of the formats.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/Scratch.h"

namespace TestSupport {

inline bool haveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// Each frame of the capture at `path` as one line: the values of `fields` separated by tabs,
// the values of a repeated field joined by ','. A failed run fails the calling test with
// tshark's own message.
inline std::vector<std::string> tsharkFields(const std::string& path, const std::vector<std::string>& fields) {
  // A private HOME keeps tshark from reading anyone's preferences; the timeout keeps a
  // stuck tshark from stalling the suite.
  ScratchDir home;
  std::vector<std::string> command = {"env", "HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.path(),
                                      "timeout", "60", "tshark", "-n", "-r", path, "-T", "fields",
                                      "-E", "separator=/t", "-E", "occurrence=a", "-E", "aggregator=,"};
  for (const auto& f : fields) command.insert(command.end(), {"-e", f});
  const auto r = E2e::runCommand(command, home / "stderr");
  EXPECT_EQ(r.status, 0) << "tshark: " << readFile(home / "stderr");
  std::vector<std::string> lines;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A classic little-endian libpcap file of Ethernet frames, one second apart.
inline std::string pcap(const std::vector<std::string>& frames) {
  std::string out;
  auto le = [&out](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i, v >>= 8) out += char(v & 0xff);
  };
  le(0xa1b2c3d4, 4), le(2, 2), le(4, 2);  // magic, version 2.4
  le(0, 4), le(0, 4), le(65535, 4), le(1, 4);  // zone, accuracy, snap length, Ethernet
  std::uint32_t second = 1700000000;
  for (const std::string& frame : frames) {
    le(second++, 4), le(0, 4);
    le(std::uint32_t(frame.size()), 4), le(std::uint32_t(frame.size()), 4);
    out += frame;
  }
  return out;
}

// `frames` as tshark decodes them, one line each (see tsharkFields).
inline std::vector<std::string> tsharkDecode(const std::vector<std::string>& frames,
                                             const std::vector<std::string>& fields) {
  ScratchDir dir;
  writeFile(dir / "frames.pcap", pcap(frames));
  return tsharkFields(dir / "frames.pcap", fields);
}

}  // namespace TestSupport
