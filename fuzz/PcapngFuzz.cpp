// Any bytes as a capture file for a replay. A refusal must be a PcapngError; what is read
// must come back unchanged through our own writer.

#include <unistd.h>

#include <cstdint>
#include <string>

#include "apps/cfmagentd/Pcapng.h"
#include "fuzz/Fault.h"

namespace {

const std::string scratch = "/dev/shm/cfm-fuzz-pcapng-" + std::to_string(::getpid()) + ".pcapng";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string image(reinterpret_cast<const char*>(data), size);
  std::vector<Cfmagentd::PcapngFrame> frames;
  try {
    frames = Cfmagentd::readPcapngData("fuzz.pcapng", image);
  } catch (const Cfmagentd::PcapngError&) {
    return 0;
  }
  std::size_t bytes = 0;
  for (const auto& f : frames) bytes += f.bytes.size();
  if (bytes > size) fault("frames hold more bytes than the file");
  {
    Cfmagentd::PcapngWriter writer(scratch);
    for (const auto& f : frames) writer.write(f.intf, f.time, f.bytes);
    writer.flush();
  }
  const auto again = Cfmagentd::readPcapng(scratch);
  ::unlink(scratch.c_str());
  if (frames != again) fault("frames differ after writing and reading them again");
  return 0;
}
