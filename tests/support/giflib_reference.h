// giflib's own coding and decoding of one image of 8-bit indices, in
// memory: the reference the stand-in's LZW coder is checked against. Header
// only, so that the fuzz target and the benchmark, which link no test
// support, use the same calls as the tests.
//
// The file is a GIF89a with a 256-entry grey global table and one image
// descriptor, no extensions: kHeadSize bytes, the image data, the trailer.
#pragma once

#include <gif_lib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testing_support {

constexpr size_t kGiflibHeadSize = 6 + 7 + 3 * 256 + 10;  // signature, screen, table, descriptor

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

inline int ReadMemory(GifFileType* gif, GifByteType* out, int length) {
  auto* reader = static_cast<std::pair<const std::vector<uint8_t>*, size_t>*>(gif->UserData);
  const size_t left = reader->first->size() - reader->second;
  const size_t count = static_cast<size_t>(length) < left ? static_cast<size_t>(length) : left;
  std::memcpy(out, reader->first->data() + reader->second, count);
  reader->second += count;
  return static_cast<int>(count);
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

// The first image's indices as giflib's decoder reads them (top-down,
// width * height); false with giflib's reason.
inline bool GiflibDecode(const std::vector<uint8_t>& file, int* width, int* height, std::vector<uint8_t>* indices,
                         std::string* error) {
  std::pair<const std::vector<uint8_t>*, size_t> reader(&file, 0);
  int status = 0;
  GifFileType* gif = DGifOpen(&reader, giflib_detail::ReadMemory, &status);
  if (gif == nullptr) {
    *error = GifErrorString(status) != nullptr ? GifErrorString(status) : "DGifOpen failed";
    return false;
  }
  bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount >= 1;
  if (!ok) {
    *error = GifErrorString(gif->Error) != nullptr ? GifErrorString(gif->Error) : "no image";
  } else {
    const SavedImage& image = gif->SavedImages[0];
    *width = image.ImageDesc.Width;
    *height = image.ImageDesc.Height;
    indices->assign(image.RasterBits,
                    image.RasterBits + static_cast<size_t>(*width) * static_cast<size_t>(*height));
  }
  DGifCloseFile(gif, &status);
  return ok;
}

}  // namespace testing_support
