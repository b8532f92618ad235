#include "tests/support/gif_decode.h"

#include <gif_lib.h>

#include <cstring>

namespace testing_support {
namespace {

struct MemoryReader {
  const std::vector<uint8_t>* bytes;
  size_t position;
};

int ReadFromMemory(GifFileType* file, GifByteType* buffer, int size) {
  auto* reader = static_cast<MemoryReader*>(file->UserData);
  const size_t left = reader->bytes->size() - reader->position;
  const size_t count = static_cast<size_t>(size) < left ? static_cast<size_t>(size) : left;
  std::memcpy(buffer, reader->bytes->data() + reader->position, count);
  reader->position += count;
  return static_cast<int>(count);
}

std::vector<uint32_t> TableOf(const ColorMapObject* map) {
  std::vector<uint32_t> table;
  if (map == nullptr) return table;
  for (int i = 0; i < map->ColorCount; ++i)
    table.push_back(static_cast<uint32_t>(map->Colors[i].Red) << 16 |
                    static_cast<uint32_t>(map->Colors[i].Green) << 8 | map->Colors[i].Blue);
  return table;
}

// Looping and comment extensions may stand before any image or after the last.
void ReadExtensions(const ExtensionBlock* blocks, int count, DecodedGif* out) {
  for (int i = 0; i < count; ++i) {
    const ExtensionBlock& block = blocks[i];
    if (block.Function == APPLICATION_EXT_FUNC_CODE && block.ByteCount == 11 &&
        std::memcmp(block.Bytes, "NETSCAPE2.0", 11) == 0 && i + 1 < count &&
        blocks[i + 1].Function == CONTINUE_EXT_FUNC_CODE && blocks[i + 1].ByteCount >= 3 &&
        blocks[i + 1].Bytes[0] == 1) {
      out->loop_count = blocks[i + 1].Bytes[1] | blocks[i + 1].Bytes[2] << 8;
    }
    if (block.Function == COMMENT_EXT_FUNC_CODE)
      out->comments.emplace_back(reinterpret_cast<const char*>(block.Bytes), block.ByteCount);
  }
}

}  // namespace

bool DecodeGif(const std::vector<uint8_t>& bytes, DecodedGif* out, std::string* error) {
  *out = DecodedGif();
  MemoryReader reader{&bytes, 0};
  int status = 0;
  GifFileType* file = DGifOpen(&reader, ReadFromMemory, &status);
  if (file == nullptr) {
    *error = GifErrorString(status) ? GifErrorString(status) : "DGifOpen failed";
    return false;
  }
  if (DGifSlurp(file) != GIF_OK) {
    *error = GifErrorString(file->Error) ? GifErrorString(file->Error) : "DGifSlurp failed";
    DGifCloseFile(file, &status);
    return false;
  }
  if (bytes.size() >= 6) out->version.assign(reinterpret_cast<const char*>(bytes.data()), 6);
  out->width = file->SWidth;
  out->height = file->SHeight;
  out->global_table = TableOf(file->SColorMap);
  for (int i = 0; i < file->ImageCount; ++i) {
    const SavedImage& image = file->SavedImages[i];
    DecodedFrame frame;
    frame.left = image.ImageDesc.Left;
    frame.top = image.ImageDesc.Top;
    frame.width = image.ImageDesc.Width;
    frame.height = image.ImageDesc.Height;
    frame.local_table = TableOf(image.ImageDesc.ColorMap);
    frame.interlaced = image.ImageDesc.Interlace;
    frame.indices.assign(image.RasterBits,
                         image.RasterBits + static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height));
    GraphicsControlBlock control;
    if (DGifSavedExtensionToGCB(file, i, &control) == GIF_OK) {
      bool has_control = false;
      for (int e = 0; e < image.ExtensionBlockCount; ++e)
        has_control |= image.ExtensionBlocks[e].Function == GRAPHICS_EXT_FUNC_CODE;
      if (has_control) {
        frame.delay = control.DelayTime;
        frame.disposal = control.DisposalMode;
        frame.transparent_index = control.TransparentColor;
      }
    }
    ReadExtensions(image.ExtensionBlocks, image.ExtensionBlockCount, out);
    out->frames.push_back(std::move(frame));
  }
  ReadExtensions(file->ExtensionBlocks, file->ExtensionBlockCount, out);
  DGifCloseFile(file, &status);
  return true;
}

}  // namespace testing_support
