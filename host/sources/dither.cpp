#include "host/sources/dither.h"

#include <algorithm>
#include <cmath>

#include "plugin/plugin_interface.h"

#if defined(__i386__) || defined(__x86_64__)
#define LODRA_DITHER_VECTORS 1
#include <immintrin.h>
#else
#define LODRA_DITHER_VECTORS 0
#endif

namespace lodra_gif {
namespace {

// The 8x8 Bayer matrix: the threshold order at (x, y), 0..63, built from
// the bits of x ^ y and y interleaved, lowest bits first.
int Bayer(int x, int y) {
  int value = 0;
  for (int bit = 0; bit < 3; ++bit) {
    value |= ((x ^ y) >> bit & 1) << (2 * (2 - bit) + 1);
    value |= (y >> bit & 1) << (2 * (2 - bit));
  }
  return value;
}

// The threshold of order `k` over a step of `step`, `strength` percent of
// it: evenly spread over (-step / 2, step / 2), so that a colour a share s
// of the way from one palette level to the next is pushed past the middle
// at a share s of the places.
int8_t Threshold(int k, int step, int strength) {
  const double t = ((k + 0.5) / 64.0 - 0.5) * step * strength / 100.0;
  return static_cast<int8_t>(std::lround(t));
}

uint8_t Add(uint8_t value, int offset) { return static_cast<uint8_t>(std::clamp(value + offset, 0, 255)); }

}  // namespace

OrderedDither::OrderedDither(int strength, int grey_spread) : grey_spread_(std::clamp(grey_spread, 0, 255)) {
  strength = std::clamp(strength, 0, 100);
  const int grey_step = grey_spread < 0 ? kCubeStep : kGreyRampStep;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      grey_[y][x] = Threshold(Bayer(x, y), grey_step, strength);
      colour_[y][x] = Threshold(Bayer(x, y), kCubeStep, strength);
    }
    Chunk& c = chunk_[y];
    for (int i = 0; i < 48; ++i) {
      const int grey = grey_[y][i / 3 % 8], colour = colour_[y][i / 3 % 8];
      c.grey_add[i] = static_cast<uint8_t>(std::max(grey, 0));
      c.grey_sub[i] = static_cast<uint8_t>(std::max(-grey, 0));
      c.colour_add[i] = static_cast<uint8_t>(std::max(colour, 0));
      c.colour_sub[i] = static_cast<uint8_t>(std::max(-colour, 0));
    }
  }
#if LODRA_DITHER_VECTORS
  __builtin_cpu_init();
  pixels_at_a_time_ = __builtin_cpu_supports("avx2") ? 32 : __builtin_cpu_supports("ssse3") ? 16 : 1;
#endif
}

#if LODRA_DITHER_VECTORS
// Compiled for SSSE3 alone; chosen at run time.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif
namespace {

// Byte shuffles that gather one channel of 16 pixels (48 bytes in three
// vectors) into one vector, and spread one byte a pixel back over its
// three. A shuffle index with the top bit set gives 0.
struct Shuffles {
  uint8_t gather[3][3][16];  // channel, source vector
  uint8_t spread[3][16];     // destination vector
};

constexpr Shuffles MakeShuffles() {
  Shuffles s{};
  for (int c = 0; c < 3; ++c)
    for (int part = 0; part < 3; ++part)
      for (int i = 0; i < 16; ++i) {
        const int at = 3 * i + c - 16 * part;
        s.gather[c][part][i] = at >= 0 && at < 16 ? static_cast<uint8_t>(at) : 0x80;
      }
  for (int part = 0; part < 3; ++part)
    for (int i = 0; i < 16; ++i) s.spread[part][i] = static_cast<uint8_t>((16 * part + i) / 3);
  return s;
}

alignas(16) constexpr Shuffles kShuffles = MakeShuffles();

inline __m128i Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

void DitherChunks(uint8_t* row, int32_t chunks, const uint8_t* grey_add, const uint8_t* grey_sub,
                  const uint8_t* colour_add, const uint8_t* colour_sub, int grey_spread) {
  __m128i gather[3][3], spread[3], g_add[3], g_sub[3], c_add[3], c_sub[3];
  for (int part = 0; part < 3; ++part) {
    for (int c = 0; c < 3; ++c) gather[c][part] = Load(kShuffles.gather[c][part]);
    spread[part] = Load(kShuffles.spread[part]);
    g_add[part] = Load(grey_add + 16 * part);
    g_sub[part] = Load(grey_sub + 16 * part);
    c_add[part] = Load(colour_add + 16 * part);
    c_sub[part] = Load(colour_sub + 16 * part);
  }
  const __m128i reach = _mm_set1_epi8(static_cast<char>(grey_spread));
  const __m128i zero = _mm_setzero_si128();
  const __m128i full = _mm_set1_epi8(static_cast<char>(0xFF));
  for (int32_t n = 0; n < chunks; ++n, row += 48) {
    const __m128i v[3] = {Load(row), Load(row + 16), Load(row + 32)};
    __m128i channel[3];
    for (int c = 0; c < 3; ++c)
      channel[c] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v[0], gather[c][0]), _mm_shuffle_epi8(v[1], gather[c][1])),
                                _mm_shuffle_epi8(v[2], gather[c][2]));
    const __m128i most = _mm_max_epu8(channel[0], _mm_max_epu8(channel[1], channel[2]));
    const __m128i least = _mm_min_epu8(channel[0], _mm_min_epu8(channel[1], channel[2]));
    // 0xFF for a pixel whose channels lie within the grey reach.
    const __m128i grey = _mm_cmpeq_epi8(_mm_subs_epu8(_mm_sub_epi8(most, least), reach), zero);
    for (int part = 0; part < 3; ++part) {
      const __m128i is_grey = _mm_shuffle_epi8(grey, spread[part]);
      // Channels at 0 or 255 stay.
      const __m128i stays = _mm_or_si128(_mm_cmpeq_epi8(v[part], zero), _mm_cmpeq_epi8(v[part], full));
      const __m128i add = _mm_andnot_si128(
          stays, _mm_or_si128(_mm_and_si128(is_grey, g_add[part]), _mm_andnot_si128(is_grey, c_add[part])));
      const __m128i sub = _mm_andnot_si128(
          stays, _mm_or_si128(_mm_and_si128(is_grey, g_sub[part]), _mm_andnot_si128(is_grey, c_sub[part])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 16 * part), _mm_subs_epu8(_mm_adds_epu8(v[part], add), sub));
    }
  }
}

}  // namespace
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// The same 32 pixels at a time: pixels 0-15 in the low 128 bits, 16-31 in
// the high, each half laid out as above (a byte shuffle stays in its half).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace {

inline __m256i Both(const void* p) { return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(p))); }

void DitherChunks32(uint8_t* row, int32_t chunks, const uint8_t* grey_add, const uint8_t* grey_sub,
                    const uint8_t* colour_add, const uint8_t* colour_sub, int grey_spread) {
  __m256i gather[3][3], spread[3], g_add[3], g_sub[3], c_add[3], c_sub[3];
  for (int part = 0; part < 3; ++part) {
    for (int c = 0; c < 3; ++c) gather[c][part] = Both(kShuffles.gather[c][part]);
    spread[part] = Both(kShuffles.spread[part]);
    g_add[part] = Both(grey_add + 16 * part);
    g_sub[part] = Both(grey_sub + 16 * part);
    c_add[part] = Both(colour_add + 16 * part);
    c_sub[part] = Both(colour_sub + 16 * part);
  }
  const __m256i reach = _mm256_set1_epi8(static_cast<char>(grey_spread));
  const __m256i zero = _mm256_setzero_si256();
  const __m256i full = _mm256_set1_epi8(static_cast<char>(0xFF));
  for (int32_t n = 0; n < chunks; ++n, row += 96) {
    __m256i v[3];
    for (int part = 0; part < 3; ++part)
      v[part] = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * part))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 48 + 16 * part)), 1);
    __m256i channel[3];
    for (int c = 0; c < 3; ++c)
      channel[c] = _mm256_or_si256(
          _mm256_or_si256(_mm256_shuffle_epi8(v[0], gather[c][0]), _mm256_shuffle_epi8(v[1], gather[c][1])),
          _mm256_shuffle_epi8(v[2], gather[c][2]));
    const __m256i most = _mm256_max_epu8(channel[0], _mm256_max_epu8(channel[1], channel[2]));
    const __m256i least = _mm256_min_epu8(channel[0], _mm256_min_epu8(channel[1], channel[2]));
    const __m256i grey = _mm256_cmpeq_epi8(_mm256_subs_epu8(_mm256_sub_epi8(most, least), reach), zero);
    for (int part = 0; part < 3; ++part) {
      const __m256i is_grey = _mm256_shuffle_epi8(grey, spread[part]);
      const __m256i stays = _mm256_or_si256(_mm256_cmpeq_epi8(v[part], zero), _mm256_cmpeq_epi8(v[part], full));
      const __m256i add = _mm256_andnot_si256(
          stays, _mm256_or_si256(_mm256_and_si256(is_grey, g_add[part]), _mm256_andnot_si256(is_grey, c_add[part])));
      const __m256i sub = _mm256_andnot_si256(
          stays, _mm256_or_si256(_mm256_and_si256(is_grey, g_sub[part]), _mm256_andnot_si256(is_grey, c_sub[part])));
      const __m256i out = _mm256_subs_epu8(_mm256_adds_epu8(v[part], add), sub);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 16 * part), _mm256_castsi256_si128(out));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 48 + 16 * part), _mm256_extracti128_si256(out, 1));
    }
  }
}

}  // namespace
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

void OrderedDither::Row(uint8_t* row, int32_t width, int32_t y) const {
  int32_t x = 0;
#if LODRA_DITHER_VECTORS
  const Chunk& c = chunk_[y % 8];
  if (pixels_at_a_time_ == 32) {
    const int32_t chunks = width / 32;
    DitherChunks32(row, chunks, c.grey_add, c.grey_sub, c.colour_add, c.colour_sub, grey_spread_);
    x = 32 * chunks;
  }
  if (pixels_at_a_time_ >= 16) {
    const int32_t chunks = (width - x) / 16;
    DitherChunks(row + 3 * static_cast<size_t>(x), chunks, c.grey_add, c.grey_sub, c.colour_add, c.colour_sub,
                 grey_spread_);
    x += 16 * chunks;
  }
#endif
  for (; x < width; ++x) {
    uint8_t* pixel = row + 3 * static_cast<size_t>(x);
    const int most = std::max({pixel[0], pixel[1], pixel[2]});
    const int least = std::min({pixel[0], pixel[1], pixel[2]});
    const int offset = most - least <= grey_spread_ ? grey_[y % 8][x % 8] : colour_[y % 8][x % 8];
    for (int c = 0; c < 3; ++c)
      if (pixel[c] != 0 && pixel[c] != 255) pixel[c] = Add(pixel[c], offset);
  }
}

void OrderedDither::Apply(uint8_t* frame, int32_t host_width, int32_t height, bool masked) const {
  const int32_t width = static_cast<int32_t>(PictureWidthOf(host_width, masked));
  const size_t stride = static_cast<size_t>(HostFrameStride(host_width));
  // Bottom-up: memory row r is the picture's row height - 1 - r.
  for (int32_t r = 0; r < height; ++r) Row(frame + static_cast<size_t>(r) * stride, width, height - 1 - r);
}

}  // namespace lodra_gif
