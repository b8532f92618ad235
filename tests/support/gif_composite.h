// What a browser shows of an animated GIF, read with giflib (gif_decode.h):
// each frame drawn onto the screen left by the frame before, transparent
// pixels left as they were, then its disposal applied (2: its rectangle
// cleared to transparent; 3: the screen put back as it was before it); the
// screen transparent before the first frame. Two files play the same when
// their pictures, with runs of the same picture joined and their delays
// summed, are the same. And animations written with giflib's encoder, for
// inputs the plug-in does not make. No GoogleTest here: the fuzz targets
// use it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// ------------------------------------------------------------- playing

struct ShownPicture {
  std::vector<uint32_t> pixels;  // top-down; 0xFFRRGGBB, or 0 where transparent
  int delay = 0;                 // hundredths; 0 where the frame has no control extension
};

struct Playback {
  int width = 0, height = 0;
  int loop_count = -1;  // -1: no looping extension
  std::vector<std::string> comments;
  std::vector<ShownPicture> pictures;  // one a frame, in order
};

// False, with giflib's reason or what it could not composite, when the file
// cannot be read.
bool PlayGif(const std::vector<uint8_t>& file, Playback* out, std::string* error);

// The pictures with each run of equal ones joined into one, delays summed.
std::vector<ShownPicture> JoinStillRuns(const std::vector<ShownPicture>& pictures);

// How `have` plays otherwise than `want` (size, loop count, comments, the
// joined pictures and their delays), as "have X, want Y at ..."; empty
// when they play the same.
std::string PlaybackDifference(const Playback& have, const Playback& want);

// ------------------------------------------------------------- writing

struct AnimationFrame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint8_t> indices;  // top-down, width * height
  bool control = true;           // with a control extension
  int disposal = 2;
  int transparent_index = 0;     // -1: none
  int delay = 4;
  bool interlaced = false;
  int local_colours = 0;         // a local table of that many entries when above 0
};

struct Animation {
  int width = 0, height = 0;
  int loop_count = 0;  // -1: no looping extension
  std::vector<AnimationFrame> frames;
  std::vector<std::string> comments_after;  // comment extensions after the last frame
};

// The GIF89a giflib's encoder writes for `animation`, with a 256-entry
// global table of distinct colours (entry i is TableColour(i)).
std::vector<uint8_t> GiflibAnimation(const Animation& animation);
uint32_t TableColour(int index);

}  // namespace testing_support
