#include "platform/kiln/Blipline.h"

namespace Blipline {

std::string_view Blip::fileStem() const {
  std::string_view path(file);
  if (const auto slash = path.rfind('/'); slash != std::string_view::npos) {
    path.remove_prefix(slash + 1);
  }
  return path.substr(0, path.find('.'));
}

std::vector<Blip> Ring::blips() const {
  std::vector<Blip> result;
  const std::uint64_t first = next_ > capacity ? next_ - capacity : 0;
  result.reserve(static_cast<std::size_t>(next_ - first));
  for (std::uint64_t i = first; i < next_; ++i) result.push_back(blips_[i % capacity]);
  return result;
}

Ring& ring() {
  static Ring instance;
  return instance;
}

}  // namespace Blipline
