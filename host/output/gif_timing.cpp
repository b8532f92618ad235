#include "host/output/gif_timing.h"

#include <cstring>

#include "gifformat/gif_walker.h"

namespace lodra_gif {

bool ReadGifTiming(std::FILE* file, GifTiming* out) {
  // Room for the longest unit and as much again, so that a refill moves
  // little and reads much.
  uint8_t buffer[2 * gifformat::kLongestUnit + 4096];
  size_t start = 0, end = 0;
  bool input_ended = false;
  gifformat::Walker walker;
  GifTiming timing;
  uint16_t delay = 0;  // from the last control extension, for the next image
  bool in_control = false;
  for (;;) {
    gifformat::Unit unit;
    switch (walker.Next(buffer + start, end - start, input_ended, &unit)) {
      case gifformat::Step::kFailed:
        return false;
      case gifformat::Step::kEnd:
        *out = timing;
        return true;
      case gifformat::Step::kNeedMore:
        std::memmove(buffer, buffer + start, end - start);
        end -= start;
        start = 0;
        end += std::fread(buffer + end, 1, sizeof buffer - end, file);
        input_ended = end < sizeof buffer;
        continue;
      case gifformat::Step::kUnit:
        break;
    }
    switch (unit.kind) {
      case gifformat::UnitKind::kExtension:
        in_control = unit.label == gifformat::kGraphicControlLabel;
        break;
      case gifformat::UnitKind::kSubBlock:
        if (in_control && unit.sub_block == 0 && unit.data_size() == gifformat::kControlDataSize)
          delay = gifformat::ReadControlFields(buffer + start + 1).delay;
        break;
      case gifformat::UnitKind::kImage:
        ++timing.frames;
        timing.hundredths += delay;
        timing.zero_delays += delay == 0;
        delay = 0;
        break;
      case gifformat::UnitKind::kHeader:
      case gifformat::UnitKind::kBlockEnd:
      case gifformat::UnitKind::kTrailer:
        break;
    }
    start += unit.size;
  }
}

}  // namespace lodra_gif
