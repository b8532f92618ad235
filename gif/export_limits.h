// What an export can take: the loop count the looping extension holds and
// the largest frame the encoder accepts. The engine keeps to these, and a
// host asks the same functions before it starts an export: the boundary
// header (plugin/plugin_interface.h) passes this on, so it depends on
// nothing but the frame layout.
#pragma once

#include <cstdint>

#include "gif/host_frame.h"

// ------------------------------------------------------------ loop count

// The looping extension's count is a 16-bit field: 0 loops forever, N
// repeats the animation N times after the first play.
constexpr int32_t kMaxLoopingCount = 65535;

// The field for a stored count: below 0 gives 0 (forever), above
// kMaxLoopingCount gives kMaxLoopingCount.
constexpr uint16_t LoopCountField(int32_t loop_count) {
  return static_cast<uint16_t>(loop_count < 0 ? 0 : loop_count > kMaxLoopingCount ? kMaxLoopingCount : loop_count);
}

// ------------------------------------------------------------ frame size

// Bytes from one index-image row to the next: a byte a pixel, padded to 4.
constexpr uint64_t IndexImageStride(int64_t width) { return (static_cast<uint64_t>(width) + 3) / 4 * 4; }

// The most bytes one block may take: the plug-in runs as a 32-bit process,
// which can address less than 2 GiB of its own in one piece.
constexpr uint64_t kMaxAddressableBytes = INT32_MAX;

// Which limit a frame size is beyond, or kFits.
enum class FrameSizeCheck {
  kFits,
  kPictureSide,     // the picture is not 1..kMaxPictureSide pixels each way
  kHostFrameBytes,  // the host frame is more than kMaxAddressableBytes
};

// Whether frames `host_width` x `height` (the whole frame as it is handed
// over, mask half included) can be exported. The index image the encoder
// makes of them, a byte a pixel of a picture no wider than the frame, is
// never larger than the host frame, so it fits whenever the frame does.
// Any 64-bit sizes: the sides are checked before anything is multiplied.
constexpr FrameSizeCheck CheckHostFrameSize(int64_t host_width, int64_t height, bool masked) {
  const int64_t width = PictureWidthOf(host_width, masked);
  if (width < 1 || width > kMaxPictureSide || height < 1 || height > kMaxPictureSide)
    return FrameSizeCheck::kPictureSide;
  if (HostFrameBytes(host_width, height) > kMaxAddressableBytes) return FrameSizeCheck::kHostFrameBytes;
  return FrameSizeCheck::kFits;
}
