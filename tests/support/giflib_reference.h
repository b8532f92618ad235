// giflib's own coding of one image of 8-bit indices, in memory, and the
// file around another coder's image data: the reference the stand-in's LZW
// coder is checked against (decoding is gif_decode.h's). Header only, so
// that the fuzz target and the benchmark, which link no test support, use
// the same calls as the tests.
//
// The file is a GIF89a with a 256-entry grey global table and one image
// descriptor, no extensions: the head, the image data, the trailer.
#pragma once

#include <gif_lib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace testing_support {

namespace giflib_detail {

inline int Append(GifFileType* gif, const GifByteType* bytes, int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), bytes, bytes + length);
  return length;
}

inline ColorMapObject* GreyMap() {
  GifColorType colours[256];
  for (int i = 0; i < 256; ++i)
    colours[i] = GifColorType{static_cast<GifByteType>(i), static_cast<GifByteType>(i), static_cast<GifByteType>(i)};
  return GifMakeMapObject(256, colours);
}

}  // namespace giflib_detail

// The file giflib's encoder writes for `width` x `height` indices (row y
// at first_row + y * stride), one EGifPutLine a row, as the stand-in's GIF
// writer did before it had a coder of its own; into `out`, whose capacity
// is kept. `row` is scratch for the row copies (giflib masks the indices
// it is given in place). False on a giflib failure.
inline bool GiflibEncode(const uint8_t* first_row, int width, int height, ptrdiff_t stride,
                         std::vector<uint8_t>* out, std::vector<uint8_t>* row) {
  out->clear();
  row->resize(static_cast<size_t>(width));
  int error = 0;
  GifFileType* gif = EGifOpen(out, giflib_detail::Append, &error);
  if (gif == nullptr) return false;
  EGifSetGifVersion(gif, true);
  ColorMapObject* map = giflib_detail::GreyMap();
  bool ok = map != nullptr && EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
  for (int y = 0; ok && y < height; ++y) {
    std::memcpy(row->data(), first_row + static_cast<ptrdiff_t>(y) * stride, row->size());
    ok = EGifPutLine(gif, row->data(), width) == GIF_OK;
  }
  GifFreeMapObject(map);
  return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

// The same file around image data of another coder's (from its minimum
// code size byte to its block terminator): giflib's head, the data, the
// trailer.
inline std::vector<uint8_t> GifAround(const std::vector<uint8_t>& data, int width, int height) {
  std::vector<uint8_t> file = {'G', 'I', 'F', '8', '9', 'a',
                               static_cast<uint8_t>(width), static_cast<uint8_t>(width >> 8),
                               static_cast<uint8_t>(height), static_cast<uint8_t>(height >> 8),
                               0xF7, 0, 0};  // global table of 256, colour resolution 8
  for (int i = 0; i < 256; ++i) file.insert(file.end(), 3, static_cast<uint8_t>(i));
  const uint8_t descriptor[] = {0x2C, 0, 0, 0, 0, static_cast<uint8_t>(width), static_cast<uint8_t>(width >> 8),
                                static_cast<uint8_t>(height), static_cast<uint8_t>(height >> 8), 0};
  file.insert(file.end(), descriptor, descriptor + sizeof descriptor);
  file.insert(file.end(), data.begin(), data.end());
  file.push_back(0x3B);
  return file;
}

}  // namespace testing_support
