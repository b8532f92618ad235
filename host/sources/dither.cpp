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

}  // namespace

// The chunk kernel for each instruction set, compiled for it alone: the same
// source (dither_chunks.inc) with the vector type and its operations.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif
namespace ssse3 {
typedef __m128i Vector;
constexpr int32_t kPixels = 16;
inline Vector Table(const void* bytes) { return _mm_loadu_si128(static_cast<const __m128i*>(bytes)); }
inline Vector Load(const uint8_t* pixels, int part) { return Table(pixels + 16 * part); }
inline void Store(uint8_t* pixels, int part, Vector v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 16 * part), v);
}
inline Vector Shuffle(Vector table, Vector at) { return _mm_shuffle_epi8(table, at); }
inline Vector Splat(int byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
inline Vector And(Vector a, Vector b) { return _mm_and_si128(a, b); }
inline Vector AndNot(Vector a, Vector b) { return _mm_andnot_si128(a, b); }
inline Vector Or(Vector a, Vector b) { return _mm_or_si128(a, b); }
inline Vector Sub(Vector a, Vector b) { return _mm_sub_epi8(a, b); }
inline Vector AddsU(Vector a, Vector b) { return _mm_adds_epu8(a, b); }
inline Vector SubsU(Vector a, Vector b) { return _mm_subs_epu8(a, b); }
inline Vector Equal(Vector a, Vector b) { return _mm_cmpeq_epi8(a, b); }
inline Vector Max(Vector a, Vector b) { return _mm_max_epu8(a, b); }
inline Vector Min(Vector a, Vector b) { return _mm_min_epu8(a, b); }
#include "host/sources/dither_chunks.inc"
}  // namespace ssse3
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
// Pixels 0-15 in the low 128 bits and 16-31 in the high, each half laid out
// as with SSSE3: a byte shuffle stays within its half.
typedef __m256i Vector;
constexpr int32_t kPixels = 32;
inline Vector Table(const void* bytes) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(bytes)));
}
inline Vector Load(const uint8_t* pixels, int part) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16 * part))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 48 + 16 * part)), 1);
}
inline void Store(uint8_t* pixels, int part, Vector v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 16 * part), _mm256_castsi256_si128(v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 48 + 16 * part), _mm256_extracti128_si256(v, 1));
}
inline Vector Shuffle(Vector table, Vector at) { return _mm256_shuffle_epi8(table, at); }
inline Vector Splat(int byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
inline Vector And(Vector a, Vector b) { return _mm256_and_si256(a, b); }
inline Vector AndNot(Vector a, Vector b) { return _mm256_andnot_si256(a, b); }
inline Vector Or(Vector a, Vector b) { return _mm256_or_si256(a, b); }
inline Vector Sub(Vector a, Vector b) { return _mm256_sub_epi8(a, b); }
inline Vector AddsU(Vector a, Vector b) { return _mm256_adds_epu8(a, b); }
inline Vector SubsU(Vector a, Vector b) { return _mm256_subs_epu8(a, b); }
inline Vector Equal(Vector a, Vector b) { return _mm256_cmpeq_epi8(a, b); }
inline Vector Max(Vector a, Vector b) { return _mm256_max_epu8(a, b); }
inline Vector Min(Vector a, Vector b) { return _mm256_min_epu8(a, b); }
#include "host/sources/dither_chunks.inc"
}  // namespace avx2
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
    x = avx2::DitherChunks(row, width, c.grey_add, c.grey_sub, c.colour_add, c.colour_sub, grey_spread_);
  }
  if (pixels_at_a_time_ >= 16) {
    x += ssse3::DitherChunks(row + 3 * static_cast<size_t>(x), width - x, c.grey_add, c.grey_sub, c.colour_add,
                             c.colour_sub, grey_spread_);
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
