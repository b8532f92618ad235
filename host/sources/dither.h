// Ordered dithering of host frames before the plug-in sees them.
//
// The plug-in maps every pixel to the nearest colour of its fixed palette,
// so a smooth gradient comes out in bands. Adding a threshold that depends
// only on the pixel's place in the picture (an 8x8 Bayer pattern) before
// that makes the nearest-colour rule choose between the two palette colours
// around a pixel's colour in proportion to how near it is to each: bands
// become a fine, fixed texture. The pattern spans one step of the palette
// there: the grey ramp's (12) for a pixel whose channels lie close
// together, which the palette's greys answer, the colour cube's (51) for
// the rest. Being fixed to the place, the texture stays still where the
// picture does, and the frames still compress across time (error diffusion
// would not).
#pragma once

#include <cstdint>

namespace lodra_gif {

// The pattern's span as a share of the palette's step, in percent. Only
// the whole step keeps a texture's mean the colour's; a smaller span leaves
// colours near a palette colour undithered. Measured on the photograph, the
// gradient and the two moving clips (bench/dither_bench): the quarter-area
// PSNR rises with the span and so does the GIF's size; from 75 to 100 the
// PSNR rises by a tenth of what it did from 50 to 75 on the gradient and by
// half or less on the rest, for as much size again (docs/performance.md).
constexpr int kDefaultDitherStrength = 75;

// A pixel whose channels lie at most this far apart is dithered by the
// grey ramp's step: the palette's nearest colour to it is then a grey (for
// 99% of colours at a spread of 24, 50% at 40). A channel at 0 or 255 is
// left as it is: moving it only takes saturation away, which the palette
// answers with greys.
constexpr int kGreySpread = 24;

class OrderedDither {
 public:
  // `strength`: percent of the palette's step the pattern spans, 0..100.
  // `grey_spread`: the grey reach (-1: the cube's step everywhere), for
  // measuring others than the default.
  explicit OrderedDither(int strength = kDefaultDitherStrength, int grey_spread = kGreySpread);

  // Dithers a host frame in place: bottom-up rows of blue, green, red,
  // padded to 4 bytes (host_frame.h), `host_width` wide. With `masked`,
  // only the picture, the left half, is touched; the mask stays as it is.
  // The pattern runs from the picture's top left corner.
  void Apply(uint8_t* frame, int32_t host_width, int32_t height, bool masked) const;

 private:
  void Row(uint8_t* row, int32_t width, int32_t y) const;

  // The threshold added at (x % 8, y % 8), for greys and for the rest.
  int8_t grey_[8][8];
  int8_t colour_[8][8];
  // The same for 16 pixels (48 bytes) of one pattern row, each byte's
  // threshold split into what is added and what is taken away.
  struct Chunk {
    uint8_t grey_add[48], grey_sub[48], colour_add[48], colour_sub[48];
  };
  Chunk chunk_[8];
  int grey_spread_;
  int pixels_at_a_time_ = 1;  // 32 with AVX2, 16 with SSSE3
};

}  // namespace lodra_gif
