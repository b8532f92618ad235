#include "host/frame_format.h"

namespace lodra_gif {

std::string SizeText(FrameSize size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

uint64_t HostFrameBytes(FrameSize size) { return ::HostFrameBytes(size.width, size.height); }

uint64_t RawFrameBytes(FrameSize size) {
  return 3 * static_cast<uint64_t>(size.width) * static_cast<uint64_t>(size.height);
}

bool CheckFrameSize(FrameSize size, bool mask, std::string* error) {
  const std::string text = SizeText(size);
  if (mask && size.width < 2) {
    *error = "size " + text + ": mask mode needs frames at least 2 pixels wide (the right half is the mask)";
    return false;
  }
  const int64_t picture_width = PictureWidthOf(size.width, mask);
  if (picture_width < 1 || picture_width > kMaxPictureSide || size.height < 1 || size.height > kMaxPictureSide) {
    *error = "size " + text + ": width and height must be 1 to 65535" +
             (mask ? std::string(" (in mask mode, the picture's: the left half)") : std::string());
    return false;
  }
  // The frame is at most 131071 x 65535, so the 64-bit products are exact;
  // the padded layout is the larger of the two.
  if (HostFrameBytes(size) > kMaxFrameBytes) {
    *error = "size " + text + ": a frame would take " + std::to_string(HostFrameBytes(size)) +
             " bytes, more than the " + std::to_string(kMaxFrameBytes) + " the plug-in can take";
    return false;
  }
  return true;
}

bool RateTooHighForBrowsers(FrameRate rate) {
  return static_cast<int64_t>(rate.rate) > kMaxBrowserRate * static_cast<int64_t>(rate.scale);
}

}  // namespace lodra_gif
