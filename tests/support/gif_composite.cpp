#include "tests/support/gif_composite.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdio>

#include "tests/support/gif_decode.h"

namespace testing_support {

bool PlayGif(const std::vector<uint8_t>& file, Playback* out, std::string* error) {
  DecodedGif gif;
  if (!DecodeGif(file, &gif, error)) return false;
  *out = Playback();
  out->width = gif.width;
  out->height = gif.height;
  out->loop_count = gif.loop_count;
  out->comments = gif.comments;
  const size_t size = static_cast<size_t>(gif.width) * static_cast<size_t>(gif.height);
  std::vector<uint32_t> screen(size, 0);
  std::vector<uint32_t> saved;
  for (size_t n = 0; n < gif.frames.size(); ++n) {
    const DecodedFrame& frame = gif.frames[n];
    const std::vector<uint32_t>& table = frame.local_table.empty() ? gif.global_table : frame.local_table;
    if (frame.disposal == 3) saved = screen;
    for (int y = 0; y < frame.height; ++y) {
      for (int x = 0; x < frame.width; ++x) {
        const int index = frame.indices[static_cast<size_t>(y) * frame.width + x];
        const int sx = frame.left + x, sy = frame.top + y;
        if (index == frame.transparent_index || sx >= gif.width || sy >= gif.height) continue;
        if (static_cast<size_t>(index) >= table.size()) {
          *error = "frame " + std::to_string(n) + ": index " + std::to_string(index) + " past its colour table";
          return false;
        }
        screen[static_cast<size_t>(sy) * gif.width + sx] = 0xFF000000u | table[static_cast<size_t>(index)];
      }
    }
    out->pictures.push_back(ShownPicture{screen, std::max(frame.delay, 0)});
    if (frame.disposal == 2) {
      for (int y = frame.top; y < std::min(frame.top + frame.height, gif.height); ++y)
        for (int x = frame.left; x < std::min(frame.left + frame.width, gif.width); ++x)
          screen[static_cast<size_t>(y) * gif.width + x] = 0;
    } else if (frame.disposal == 3) {
      screen = saved;
    }
  }
  return true;
}

std::vector<ShownPicture> JoinStillRuns(const std::vector<ShownPicture>& pictures) {
  std::vector<ShownPicture> joined;
  for (const ShownPicture& picture : pictures) {
    if (!joined.empty() && joined.back().pixels == picture.pixels) {
      joined.back().delay += picture.delay;
    } else {
      joined.push_back(picture);
    }
  }
  return joined;
}

std::string PlaybackDifference(const Playback& have, const Playback& want) {
  auto pair = [](long long h, long long w) { return "have " + std::to_string(h) + ", want " + std::to_string(w); };
  if (have.width != want.width || have.height != want.height)
    return "size: have " + std::to_string(have.width) + "x" + std::to_string(have.height) + ", want " +
           std::to_string(want.width) + "x" + std::to_string(want.height);
  if (have.loop_count != want.loop_count) return "loop count: " + pair(have.loop_count, want.loop_count);
  if (have.comments != want.comments) return "the comments differ";
  const std::vector<ShownPicture> h = JoinStillRuns(have.pictures);
  const std::vector<ShownPicture> w = JoinStillRuns(want.pictures);
  for (size_t n = 0; n < std::min(h.size(), w.size()); ++n) {
    for (size_t i = 0; i < h[n].pixels.size(); ++i) {
      if (h[n].pixels[i] != w[n].pixels[i]) {
        char text[160];
        std::snprintf(text, sizeof text, "picture %zu, pixel (%zu, %zu): have %08X, want %08X", n,
                      i % static_cast<size_t>(have.width), i / static_cast<size_t>(have.width), h[n].pixels[i],
                      w[n].pixels[i]);
        return text;
      }
    }
    if (h[n].delay != w[n].delay) return "picture " + std::to_string(n) + " delay: " + pair(h[n].delay, w[n].delay);
  }
  if (h.size() != w.size()) return "distinct pictures: " + pair(static_cast<long long>(h.size()), static_cast<long long>(w.size()));
  return "";
}

// ------------------------------------------------------------- writing

uint32_t TableColour(int index) {
  const uint32_t i = static_cast<uint32_t>(index);
  return (i * 0x9Eu & 0xFFu) << 16 | ((i * 0x3Bu + 7u) & 0xFFu) << 8 | i;
}

namespace {

int AppendTo(GifFileType* gif, const GifByteType* bytes, int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), bytes, bytes + length);
  return length;
}

ColorMapObject* Table(int entries) {
  GifColorType colours[256];
  for (int i = 0; i < entries; ++i) {
    const uint32_t c = TableColour(i);
    colours[i] = GifColorType{static_cast<GifByteType>(c >> 16), static_cast<GifByteType>(c >> 8),
                              static_cast<GifByteType>(c)};
  }
  return GifMakeMapObject(entries, colours);
}

}  // namespace

std::vector<uint8_t> GiflibAnimation(const Animation& animation) {
  std::vector<uint8_t> out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, AppendTo, &error);
  EGifSetGifVersion(gif, true);
  ColorMapObject* global = Table(256);
  EGifPutScreenDesc(gif, animation.width, animation.height, 8, 0, global);
  GifFreeMapObject(global);
  if (animation.loop_count >= 0) {
    const GifByteType loop[3] = {1, static_cast<GifByteType>(animation.loop_count & 0xFF),
                                 static_cast<GifByteType>(animation.loop_count >> 8)};
    EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
    EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
    EGifPutExtensionBlock(gif, 3, loop);
    EGifPutExtensionTrailer(gif);
  }
  for (const AnimationFrame& frame : animation.frames) {
    if (frame.control) {
      GraphicsControlBlock control;
      control.DisposalMode = frame.disposal;
      control.UserInputFlag = false;
      control.DelayTime = frame.delay;
      control.TransparentColor = frame.transparent_index;
      GifByteType bytes[4];
      EGifGCBToExtension(&control, bytes);
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, bytes);
    }
    ColorMapObject* local = frame.local_colours > 0 ? Table(frame.local_colours) : nullptr;
    EGifPutImageDesc(gif, frame.left, frame.top, frame.width, frame.height, frame.interlaced, local);
    if (local != nullptr) GifFreeMapObject(local);
    std::vector<int> rows;
    if (frame.interlaced) {
      const int starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int y = starts[pass]; y < frame.height; y += steps[pass]) rows.push_back(y);
    } else {
      for (int y = 0; y < frame.height; ++y) rows.push_back(y);
    }
    std::vector<GifPixelType> line(static_cast<size_t>(frame.width));
    for (int y : rows) {
      std::copy_n(frame.indices.begin() + static_cast<ptrdiff_t>(y) * frame.width, frame.width, line.begin());
      EGifPutLine(gif, line.data(), frame.width);
    }
  }
  for (const std::string& comment : animation.comments_after) EGifPutComment(gif, comment.c_str());
  EGifCloseFile(gif, &error);
  return out;
}

}  // namespace testing_support
