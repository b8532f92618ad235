#include "host/output/gif_timing.h"

#include <cstring>

namespace lodra_gif {
namespace {

constexpr int kExtensionIntroducer = 0x21;  // '!'
constexpr int kImageSeparator = 0x2C;       // ','
constexpr int kTrailer = 0x3B;              // ';'
constexpr int kGraphicControlLabel = 0xF9;
// A colour table follows when the top bit of a packed field is set; its
// size is 3 * 2^(low three bits + 1) bytes.
constexpr int kColourTableFlag = 0x80;

bool ReadExactly(std::FILE* file, uint8_t* out, size_t size) { return std::fread(out, 1, size, file) == size; }

bool Skip(std::FILE* file, size_t size) {
  uint8_t buffer[256];
  while (size > 0) {
    const size_t part = size < sizeof buffer ? size : sizeof buffer;
    if (!ReadExactly(file, buffer, part)) return false;
    size -= part;
  }
  return true;
}

bool SkipColourTable(std::FILE* file, uint8_t packed) {
  return (packed & kColourTableFlag) == 0 || Skip(file, 3u << ((packed & 7) + 1));
}

// Data sub-blocks: a size byte, that many bytes, until a size of 0. The
// first block's bytes go to `first` (up to 255) when it is not null.
bool ReadSubBlocks(std::FILE* file, uint8_t* first, size_t* first_size) {
  bool is_first = true;
  for (;;) {
    uint8_t size = 0;
    if (!ReadExactly(file, &size, 1)) return false;
    if (size == 0) return true;
    if (is_first && first != nullptr) {
      if (!ReadExactly(file, first, size)) return false;
      *first_size = size;
    } else if (!Skip(file, size)) {
      return false;
    }
    is_first = false;
  }
}

}  // namespace

bool ReadGifTiming(std::FILE* file, GifTiming* out) {
  // Signature and version, then the logical screen descriptor: width,
  // height (2 bytes each), packed fields, background index, aspect ratio.
  uint8_t head[13];
  if (!ReadExactly(file, head, sizeof head) || std::memcmp(head, "GIF8", 4) != 0) return false;
  if (!SkipColourTable(file, head[10])) return false;

  GifTiming timing;
  int delay = 0;  // from the last control extension, for the next image
  for (;;) {
    uint8_t introducer = 0;
    if (!ReadExactly(file, &introducer, 1)) return false;
    if (introducer == kTrailer) break;
    if (introducer == kExtensionIntroducer) {
      // A control extension's one sub-block: packed fields, the delay in
      // hundredths (little-endian), the transparent index.
      uint8_t label = 0, first[255];
      size_t first_size = 0;
      if (!ReadExactly(file, &label, 1) || !ReadSubBlocks(file, first, &first_size)) return false;
      if (label == kGraphicControlLabel && first_size == 4) delay = first[1] | first[2] << 8;
    } else if (introducer == kImageSeparator) {
      // Left, top, width, height (2 bytes each), packed fields; the local
      // colour table; the LZW code size; the image data.
      uint8_t descriptor[9], code_size = 0;
      if (!ReadExactly(file, descriptor, sizeof descriptor) || !SkipColourTable(file, descriptor[8]) ||
          !ReadExactly(file, &code_size, 1) || !ReadSubBlocks(file, nullptr, nullptr))
        return false;
      ++timing.frames;
      timing.hundredths += delay;
      timing.zero_delays += delay == 0;
      delay = 0;
    } else {
      return false;
    }
  }
  *out = timing;
  return true;
}

}  // namespace lodra_gif
