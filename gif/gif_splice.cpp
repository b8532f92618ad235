#include "gif/gif_splice.h"

#include <cstring>

namespace gif {
namespace {

constexpr size_t kControlOffset = kHeadSize;                          // 781
constexpr size_t kImageOffset = kControlOffset + kControlExtensionSize;  // 789
constexpr size_t kScreenPackedOffset = kSignatureSize + 4;  // after width and height

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

// Where the parts of the one image lie in a block.
struct ImageLayout {
  size_t descriptor;         // the image separator
  size_t local_table;        // where a local colour table would start
  size_t local_table_bytes;  // 0: none
  size_t data;               // LZW minimum code size, then the sub-blocks
  size_t data_end;           // just past the sub-blocks' terminator
  size_t end;                // the trailer's offset, or the block's length
};

// Reads from `from` to the end of the block: extensions, exactly one image,
// extensions, then the trailer as the block's last byte, or nothing.
bool ScanImage(const uint8_t* block, size_t length, size_t from, ImageLayout* out) {
  Reader reader(block + from, length - from);
  auto at = [&] { return from + reader.position(); };

  for (;;) {
    uint8_t introducer = 0;
    if (!reader.Byte(&introducer)) return false;
    if (introducer == kImageSeparator) break;
    if (introducer != kExtensionIntroducer) return false;  // includes an early trailer
    if (!reader.Skip(1) || !reader.SkipSubBlocks()) return false;
  }
  out->descriptor = at() - 1;
  if (!reader.Skip(kImageDescriptorSize - 1)) return false;
  const uint8_t packed = block[out->descriptor + kImageDescriptorSize - 1];
  out->local_table = at();
  out->local_table_bytes = (packed & kColourTableFlag) != 0 ? ColourTableBytes(packed) : 0;
  if (!reader.Skip(out->local_table_bytes)) return false;
  out->data = at();
  uint8_t minimum_code_size = 0;
  if (!reader.Byte(&minimum_code_size) || minimum_code_size < 2 || minimum_code_size > 8) return false;
  if (!reader.SkipSubBlocks()) return false;
  out->data_end = at();

  for (;;) {
    uint8_t introducer = 0;
    if (!reader.Byte(&introducer)) {
      out->end = length;  // no trailer: the block is taken whole
      return true;
    }
    if (introducer == kTrailer) {
      out->end = at() - 1;
      return at() == length;
    }
    if (introducer != kExtensionIntroducer) return false;
    if (!reader.Skip(1) || !reader.SkipSubBlocks()) return false;
  }
}

// The layout the imaging library is meant to write: GIF89a, a 256-entry
// global colour table, the Graphic Control Extension right behind it, the
// image right behind that.
bool IsFixedLayout(const uint8_t* block, size_t length) {
  if (length < kHeadSize + kControlExtensionSize) return false;
  // The head goes into the file as it is, signature included.
  if (std::memcmp(block, "GIF89a", kSignatureSize) != 0) return false;
  const uint8_t packed = block[kScreenPackedOffset];
  return (packed & kColourTableFlag) != 0 && (packed & kColourTableSizeBits) == 7 &&
         block[kControlOffset] == kExtensionIntroducer && block[kControlOffset + 1] == kGraphicControlLabel &&
         block[kControlOffset + 2] == kControlExtensionSize - 4 &&  // one 4-byte sub-block
         block[kControlOffset + kControlExtensionSize - 1] == 0;     // then the terminator
}

// Cut at fixed offsets: the head as it is, the block's own Graphic Control
// Extension with disposal, transparency and delay set (its transparent index
// is the encoder's), then the image up to its data's end: the animation has
// one trailer, at its very end.
void SpliceFixedLayout(const uint8_t* block, const ImageLayout& image, uint16_t delay, SplicedFrame* out) {
  std::memcpy(out->head, block, kHeadSize);
  std::memcpy(out->prefix, block + kControlOffset, kControlExtensionSize);
  out->prefix[3] = kControlPackedFields;
  WriteLe16(out->prefix + 4, delay);
  out->prefix_size = kControlExtensionSize;
  // Only the image itself: what else the block carries is not the frame's.
  out->rest[0] = {block + kImageOffset, image.data_end - kImageOffset};
  out->rest_count = 1;
}

// Any other layout: rewritten as the fixed one.
bool SpliceParsed(const uint8_t* block, size_t length, const Palette& palette, uint16_t delay,
                  SplicedFrame* out) {
  if (length < kSignatureSize + kScreenDescriptorSize) return false;
  if (std::memcmp(block, "GIF87a", kSignatureSize) != 0 && std::memcmp(block, "GIF89a", kSignatureSize) != 0)
    return false;
  const uint8_t screen_packed = block[kScreenPackedOffset];
  size_t image_from = kSignatureSize + kScreenDescriptorSize;
  if ((screen_packed & kColourTableFlag) != 0) image_from += ColourTableBytes(screen_packed);
  ImageLayout image;
  if (image_from > length || !ScanImage(block, length, image_from, &image)) return false;

  // The head: this block's screen size, the export's palette as the global
  // colour table.
  std::memcpy(out->head, "GIF89a", kSignatureSize);
  std::memcpy(out->head + kSignatureSize, block + kSignatureSize, 4);  // width, height
  out->head[kScreenPackedOffset] = kColourTableFlag | kFullColourResolution | 7;
  out->head[kScreenPackedOffset + 1] = 0;  // background colour index
  out->head[kScreenPackedOffset + 2] = 0;  // no aspect ratio given
  uint8_t* global_table = out->head + kSignatureSize + kScreenDescriptorSize;
  PaletteAsColourTable(palette, global_table);

  WriteControlExtension(out->prefix, delay);
  uint8_t* descriptor = out->prefix + kControlExtensionSize;
  std::memcpy(descriptor, block + image.descriptor, kImageDescriptorSize);
  out->prefix_size = kControlExtensionSize + kImageDescriptorSize;
  out->rest_count = 0;

  // A local table equal to the global one says nothing: drop it.
  const bool same_as_global = image.local_table_bytes == kColourTableSize &&
                              std::memcmp(block + image.local_table, global_table, kColourTableSize) == 0;
  if (image.local_table_bytes != 0 && !same_as_global) {
    out->rest[out->rest_count++] = {block + image.local_table, image.local_table_bytes};
  } else {
    descriptor[kImageDescriptorSize - 1] &= static_cast<uint8_t>(~(kColourTableFlag | kImageSortFlag | kColourTableSizeBits));
  }
  // Only the image itself: the block's other extensions are not the frame's.
  out->rest[out->rest_count++] = {block + image.data, image.data_end - image.data};
  return true;
}

}  // namespace

bool SpliceFrameGif(const uint8_t* block, size_t length, const Palette& palette, uint16_t delay,
                    SplicedFrame* out) {
  if (block == nullptr || out == nullptr) return false;
  ImageLayout image;
  if (IsFixedLayout(block, length) && ScanImage(block, length, kImageOffset, &image) &&
      image.descriptor == kImageOffset) {
    SpliceFixedLayout(block, image, delay, out);
    return true;
  }
  return SpliceParsed(block, length, palette, delay, out);
}

}  // namespace gif
