#include "host/frame_format.h"

namespace lodra_gif {

std::string SizeText(FrameSize size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

uint64_t HostFrameBytes(FrameSize size) { return ::HostFrameBytes(size.width, size.height); }

uint64_t RawFrameBytes(FrameSize size) {
  return 3 * static_cast<uint64_t>(size.width) * static_cast<uint64_t>(size.height);
}

bool CheckFrameSize(FrameSize size, bool mask, std::string* error) {
  const std::string text = SizeText(size);
  // The plug-in's own rule decides; the messages say which limit it is.
  switch (CheckHostFrameSize(size.width, size.height, mask)) {
    case FrameSizeCheck::kFits:
      return true;
    case FrameSizeCheck::kPictureSide:
      if (mask && size.width < 2) {
        *error = "size " + text + ": mask mode needs frames at least 2 pixels wide (the right half is the mask)";
      } else {
        *error = "size " + text + ": width and height must be 1 to 65535" +
                 (mask ? std::string(" (in mask mode, the picture's: the left half)") : std::string());
      }
      return false;
    case FrameSizeCheck::kHostFrameBytes:
      break;
  }
  *error = "size " + text + ": a frame would take " + std::to_string(HostFrameBytes(size)) + " bytes, more than the " +
           std::to_string(kMaxAddressableBytes) + " the plug-in can take";
  return false;
}

bool RateTooHighForBrowsers(FrameRate rate) {
  return static_cast<int64_t>(rate.rate) > kMaxBrowserRate * static_cast<int64_t>(rate.scale);
}

}  // namespace lodra_gif
