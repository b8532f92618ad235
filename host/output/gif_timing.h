// What lodra-gif reads back from the GIF it has written: the frames and the
// delays their Graphic Control Extensions hold, so that the summary tells
// what the file plays, whatever rule the plug-in followed to make it.
#pragma once

#include <cstdint>
#include <cstdio>

namespace lodra_gif {

struct GifTiming {
  int64_t frames = 0;       // image descriptors
  int64_t hundredths = 0;   // the sum of their delays
  int64_t zero_delays = 0;  // frames whose delay is 0 (or that have no control extension)
};

// Walks the blocks of the GIF in `file` from its current position to the
// trailer, reading a few KiB at a time. False for anything that is
// no complete GIF (a bad signature, a block cut short, an unknown block);
// `out` is then untouched.
bool ReadGifTiming(std::FILE* file, GifTiming* out);

}  // namespace lodra_gif
