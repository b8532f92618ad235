#include "gif/gif_splice.h"

#include <cstring>

namespace gif {
namespace {

constexpr size_t kControlOffset = kHeadSize;  // 781
constexpr size_t kScreenPackedOffset = kSignatureSize + 4;  // after width and height

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void WriteLe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}

size_t ColourTableBytes(uint8_t packed) {
  return size_t{3} << ((packed & kColourTableSizeBits) + 1);
}

void PaletteAsColourTable(const Palette& palette, uint8_t* table) {
  for (int i = 0; i < 256; ++i) {
    const uint32_t entry = palette.entries[i];
    table[3 * i + 0] = static_cast<uint8_t>(entry >> 16);
    table[3 * i + 1] = static_cast<uint8_t>(entry >> 8);
    table[3 * i + 2] = static_cast<uint8_t>(entry);
  }
}

void WriteControlExtension(uint8_t* out, uint16_t delay) {
  out[0] = kExtensionIntroducer;
  out[1] = kGraphicControlLabel;
  out[2] = 4;  // block size
  out[3] = kControlPackedFields;
  WriteLe16(out + 4, delay);
  out[6] = 0;  // transparent colour index: the palette's one transparent entry
  out[7] = 0;  // block terminator
}

// Bounds-checked reader over the block: every step says whether it fit.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t position() const { return position_; }
  bool AtLeast(size_t bytes) const { return size_ - position_ >= bytes; }
  bool Skip(size_t bytes) {
    if (!AtLeast(bytes)) return false;
    position_ += bytes;
    return true;
  }
  bool Byte(uint8_t* value) {
    if (!AtLeast(1)) return false;
    *value = data_[position_++];
    return true;
  }
  // A chain of data sub-blocks: <size> <size bytes>, ..., 0.
  bool SkipSubBlocks() {
    for (;;) {
      uint8_t size = 0;
      if (!Byte(&size)) return false;
      if (size == 0) return true;
      if (!Skip(size)) return false;
    }
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// The layout the imaging library is meant to write: cut at fixed offsets.
bool IsFixedLayout(const uint8_t* block, size_t length) {
  if (length < kHeadSize + kControlExtensionSize) return false;
  const uint8_t packed = block[kScreenPackedOffset];
  return (packed & kColourTableFlag) != 0 && (packed & kColourTableSizeBits) == 7 &&
         block[kControlOffset] == kExtensionIntroducer &&
         block[kControlOffset + 1] == kGraphicControlLabel;
}

void SpliceFixedLayout(const uint8_t* block, size_t length, uint16_t delay, SplicedFrame* out) {
  std::memcpy(out->head, block, kHeadSize);
  // The block's own Graphic Control Extension, with disposal, transparency
  // and delay set; its transparent index is the encoder's.
  std::memcpy(out->prefix, block + kControlOffset, kControlExtensionSize);
  out->prefix[3] = kControlPackedFields;
  WriteLe16(out->prefix + 4, delay);
  out->prefix_size = kControlExtensionSize;

  // The animation has one trailer, at its very end.
  size_t end = length;
  if (block[length - 2] == 0x00 && block[length - 1] == kTrailer) end = length - 1;
  const size_t body = kControlOffset + kControlExtensionSize;
  out->rest[0] = {block + body, end - body};
  out->rest_count = 1;
}

bool SpliceParsed(const uint8_t* block, size_t length, const Palette& palette, uint16_t delay,
                  SplicedFrame* out) {
  Reader reader(block, length);
  if (!reader.AtLeast(kSignatureSize + kScreenDescriptorSize)) return false;
  if (std::memcmp(block, "GIF87a", kSignatureSize) != 0 && std::memcmp(block, "GIF89a", kSignatureSize) != 0)
    return false;
  const uint16_t screen_width = ReadLe16(block + kSignatureSize);
  const uint16_t screen_height = ReadLe16(block + kSignatureSize + 2);
  const uint8_t screen_packed = block[kScreenPackedOffset];
  reader.Skip(kSignatureSize + kScreenDescriptorSize);
  if ((screen_packed & kColourTableFlag) != 0 && !reader.Skip(ColourTableBytes(screen_packed))) return false;

  // Extensions may come before the image; the image must come before the
  // trailer.
  size_t descriptor = 0;
  for (;;) {
    uint8_t introducer = 0;
    if (!reader.Byte(&introducer)) return false;
    if (introducer == kImageSeparator) {
      descriptor = reader.position() - 1;
      break;
    }
    if (introducer != kExtensionIntroducer) return false;  // includes an early trailer
    if (!reader.Skip(1) || !reader.SkipSubBlocks()) return false;
  }

  if (!reader.Skip(kImageDescriptorSize - 1)) return false;
  const uint8_t image_packed = block[descriptor + kImageDescriptorSize - 1];
  const size_t local_table = reader.position();
  size_t local_table_bytes = 0;
  if ((image_packed & kColourTableFlag) != 0) {
    local_table_bytes = ColourTableBytes(image_packed);
    if (!reader.Skip(local_table_bytes)) return false;
  }
  const size_t data = reader.position();
  uint8_t minimum_code_size = 0;
  if (!reader.Byte(&minimum_code_size) || minimum_code_size < 2 || minimum_code_size > 8) return false;
  if (!reader.SkipSubBlocks()) return false;
  const size_t data_end = reader.position();

  // One image only: what follows may be extensions, then the trailer.
  for (;;) {
    uint8_t introducer = 0;
    if (!reader.Byte(&introducer)) return false;
    if (introducer == kTrailer) break;
    if (introducer != kExtensionIntroducer) return false;
    if (!reader.Skip(1) || !reader.SkipSubBlocks()) return false;
  }

  // The head: this block's screen size, the export's palette as the global
  // colour table.
  std::memcpy(out->head, "GIF89a", kSignatureSize);
  WriteLe16(out->head + kSignatureSize, screen_width);
  WriteLe16(out->head + kSignatureSize + 2, screen_height);
  out->head[kScreenPackedOffset] = kColourTableFlag | kFullColourResolution | 7;
  out->head[kScreenPackedOffset + 1] = 0;  // background colour index
  out->head[kScreenPackedOffset + 2] = 0;  // no aspect ratio given
  PaletteAsColourTable(palette, out->head + kSignatureSize + kScreenDescriptorSize);

  WriteControlExtension(out->prefix, delay);
  uint8_t* new_descriptor = out->prefix + kControlExtensionSize;
  std::memcpy(new_descriptor, block + descriptor, kImageDescriptorSize);
  out->prefix_size = kControlExtensionSize + kImageDescriptorSize;
  out->rest_count = 0;

  // A local table equal to the global one says nothing: drop it.
  bool keep_local_table = local_table_bytes != 0;
  if (local_table_bytes == kColourTableSize &&
      std::memcmp(block + local_table, out->head + kSignatureSize + kScreenDescriptorSize, kColourTableSize) == 0)
    keep_local_table = false;
  if (keep_local_table) {
    out->rest[out->rest_count++] = {block + local_table, local_table_bytes};
  } else {
    new_descriptor[kImageDescriptorSize - 1] =
        static_cast<uint8_t>(image_packed & ~(kColourTableFlag | kImageSortFlag | kColourTableSizeBits));
  }
  out->rest[out->rest_count++] = {block + data, data_end - data};
  return true;
}

}  // namespace

bool SpliceFrameGif(const uint8_t* block, size_t length, const Palette& palette, uint16_t delay,
                    SplicedFrame* out) {
  if (block == nullptr || out == nullptr) return false;
  if (IsFixedLayout(block, length)) {
    SpliceFixedLayout(block, length, delay, out);
    return true;
  }
  return SpliceParsed(block, length, palette, delay, out);
}

}  // namespace gif
