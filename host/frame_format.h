// The frames lodra-gif hands the plug-in, as every room of the host sees
// them: their size and rate, and the limits the plug-in sets on them.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/plugin_interface.h"

namespace lodra_gif {

// The largest --size, --width or --height: a GIF's sizes are 16-bit fields.
constexpr int32_t kMaxSide = kMaxPictureSide;
// GIF delays are whole hundredths of a second, and browsers play 0 or 1 as
// 10: a source faster than this is brought down unless --fps says otherwise.
constexpr int32_t kMaxBrowserRate = 50;

struct FrameSize {
  int32_t width = 0;
  int32_t height = 0;
};
inline bool operator==(FrameSize a, FrameSize b) { return a.width == b.width && a.height == b.height; }

// Frames per second = rate / scale, both positive, kept in lowest terms.
struct FrameRate {
  int32_t rate = 0;
  int32_t scale = 0;
};
inline bool operator==(FrameRate a, FrameRate b) { return a.rate == b.rate && a.scale == b.scale; }

// "640x360", as messages write a size.
std::string SizeText(FrameSize size);

// Bytes of one frame as the plug-in takes it: rows of 3 * width bytes padded
// to a multiple of 4, times height. Exact for every 16-bit size (64-bit sum).
uint64_t HostFrameBytes(FrameSize size);
// Bytes of one frame in the raw stream: 3 * width * height, no padding.
uint64_t RawFrameBytes(FrameSize size);

// Whether the plug-in can export frames of `size` (the whole frame as it is
// handed over, mask half included), by the plug-in's own CheckHostFrameSize:
// a picture of 1..65535 each way (in mask mode the frame's left half), and a
// frame of at most kMaxAddressableBytes. False with the message.
bool CheckFrameSize(FrameSize size, bool mask, std::string* error);

// Above kMaxBrowserRate frames per second some GIF delays come out as
// 1/100 s, which browsers play as 1/10 s.
bool RateTooHighForBrowsers(FrameRate rate);

}  // namespace lodra_gif
