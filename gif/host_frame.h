// The frames a host hands over and the pictures a GIF holds. The encoder
// reads frames by these rules, and hosts lay theirs out by them: the
// boundary header (plugin/plugin_interface.h) passes this on, so it depends
// on nothing.
#pragma once

#include <cstdint>

// A host frame: 3 bytes a pixel in the order blue, green, red; rows bottom-up
// (the first row in memory is the picture's bottom row); every row padded to
// a multiple of 4 bytes. `width` is the whole frame's, mask half included.
// Exact in 64 bits for any 32-bit size.
constexpr uint64_t HostFrameStride(int64_t width) { return (3 * static_cast<uint64_t>(width) + 3) / 4 * 4; }
constexpr uint64_t HostFrameBytes(int64_t width, int64_t height) {
  return HostFrameStride(width) * static_cast<uint64_t>(height);
}

// A GIF's sizes are 16-bit fields.
constexpr int32_t kMaxPictureSide = 65535;

// The picture of a host frame `host_width` wide: the whole frame, or in mask
// mode its left half, rounded down (with an odd width the last column is
// read by neither half).
constexpr int64_t PictureWidthOf(int64_t host_width, bool masked) { return masked ? host_width / 2 : host_width; }
