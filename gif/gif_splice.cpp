#include "gif/gif_splice.h"

#include <cstring>

#include "gifformat/gif_walker.h"

namespace gif {
namespace {

using gifformat::kControlExtensionSize;
using gifformat::kImageDescriptorSize;

constexpr size_t kControlOffset = kHeadSize;                             // 781
constexpr size_t kImageOffset = kControlOffset + kControlExtensionSize;  // 789
constexpr size_t kScreenPackedOffset = gifformat::kSignatureSize + 4;     // after width and height
constexpr uint8_t kEveryTableEntry = 7;                                  // 2^(7+1) = 256 entries

// Every frame of the animation clears itself when its time is over and
// shows what is behind its transparent pixels.
gifformat::ControlFields FrameControl(uint16_t delay, uint8_t transparent_index) {
  gifformat::ControlFields fields;
  fields.disposal = gifformat::Disposal::kBackground;
  fields.has_transparent = true;
  fields.transparent_index = transparent_index;
  fields.delay = delay;
  return fields;
}

void PaletteAsColourTable(const Palette& palette, uint8_t* table) {
  for (int i = 0; i < 256; ++i) {
    const uint32_t entry = palette.entries[i];
    table[3 * i + 0] = static_cast<uint8_t>(entry >> 16);
    table[3 * i + 1] = static_cast<uint8_t>(entry >> 8);
    table[3 * i + 2] = static_cast<uint8_t>(entry);
  }
}

// Where the parts of the one image lie in a block.
struct ImageLayout {
  size_t descriptor = 0;         // the image separator
  size_t local_table = 0;        // where a local colour table would start
  size_t local_table_bytes = 0;  // 0: none
  size_t data = 0;               // LZW minimum code size, then the sub-blocks
  size_t data_end = 0;           // just past the sub-blocks' terminator
};

// Walks the whole block: the head, extensions, exactly one image,
// extensions, then the trailer as the block's last byte, or nothing (the
// block is then taken whole).
bool ScanImage(const uint8_t* block, size_t length, ImageLayout* out) {
  gifformat::Walker walker;
  size_t at = 0;
  bool has_image = false;
  bool between_blocks = false;  // at a place where a block may start
  for (;;) {
    if (has_image && between_blocks && at == length) return true;
    gifformat::Unit unit;
    if (walker.Next(block + at, length - at, true, &unit) != gifformat::Step::kUnit) return false;
    between_blocks = false;
    switch (unit.kind) {
      case gifformat::UnitKind::kHeader:
      case gifformat::UnitKind::kExtension:
      case gifformat::UnitKind::kSubBlock:
        break;
      case gifformat::UnitKind::kBlockEnd:
        between_blocks = true;
        if (unit.in_image) out->data_end = at + unit.size;
        break;
      case gifformat::UnitKind::kImage:
        if (has_image) return false;
        has_image = true;
        out->descriptor = at;
        out->local_table = at + kImageDescriptorSize;
        out->local_table_bytes = 3 * static_cast<size_t>(unit.image.table_entries);
        out->data = at + unit.size - 1;  // the LZW minimum code size
        break;
      case gifformat::UnitKind::kTrailer:
        return has_image && at + unit.size == length;
    }
    at += unit.size;
  }
}

// The layout the imaging library is meant to write: GIF89a, a 256-entry
// global colour table, the Graphic Control Extension right behind it, the
// image right behind that.
bool IsFixedLayout(const uint8_t* block, size_t length) {
  if (length < kHeadSize + kControlExtensionSize) return false;
  // The head goes into the file as it is, signature included.
  if (std::memcmp(block, gifformat::kSignature89a, gifformat::kSignatureSize) != 0) return false;
  const uint8_t packed = block[kScreenPackedOffset];
  const uint8_t* control = block + kControlOffset;
  return (packed & gifformat::kColourTableFlag) != 0 && (packed & gifformat::kColourTableSizeBits) == kEveryTableEntry &&
         control[0] == gifformat::kExtensionIntroducer && control[1] == gifformat::kGraphicControlLabel &&
         control[2] == gifformat::kControlDataSize &&  // one 4-byte sub-block
         control[kControlExtensionSize - 1] == gifformat::kBlockTerminator;
}

// Cut at fixed offsets: the head as it is, the block's own Graphic Control
// Extension with disposal, transparency and delay set (its transparent index
// is the encoder's), then the image up to its data's end: the animation has
// one trailer, at its very end.
void SpliceFixedLayout(const uint8_t* block, const ImageLayout& image, uint16_t delay, SplicedFrame* out) {
  std::memcpy(out->head, block, kHeadSize);
  const gifformat::ControlFields own = gifformat::ReadControlFields(block + kControlOffset + 3);
  gifformat::WriteControlExtension(FrameControl(delay, own.transparent_index), out->prefix);
  out->prefix_size = kControlExtensionSize;
  // Only the image itself: what else the block carries is not the frame's.
  out->rest[0] = {block + kImageOffset, image.data_end - kImageOffset};
  out->rest_count = 1;
}

// Any other layout: rewritten as the fixed one.
void SpliceParsed(const uint8_t* block, const ImageLayout& image, const Palette& palette, uint16_t delay,
                  SplicedFrame* out) {
  // The head: this block's screen size, the export's palette as the global
  // colour table.
  std::memcpy(out->head, gifformat::kSignature89a, gifformat::kSignatureSize);
  std::memcpy(out->head + gifformat::kSignatureSize, block + gifformat::kSignatureSize, 4);  // width, height
  out->head[kScreenPackedOffset] = gifformat::kColourTableFlag | gifformat::kColourResolutionBits | kEveryTableEntry;
  out->head[kScreenPackedOffset + 1] = 0;  // background colour index
  out->head[kScreenPackedOffset + 2] = 0;  // no aspect ratio given
  uint8_t* global_table = out->head + gifformat::kHeaderSize;
  PaletteAsColourTable(palette, global_table);

  // Transparent index 0: the palette's one transparent entry.
  gifformat::WriteControlExtension(FrameControl(delay, 0), out->prefix);
  uint8_t* descriptor = out->prefix + kControlExtensionSize;
  std::memcpy(descriptor, block + image.descriptor, kImageDescriptorSize);
  out->prefix_size = kControlExtensionSize + kImageDescriptorSize;
  out->rest_count = 0;

  // A local table equal to the global one says nothing: drop it.
  const bool same_as_global = image.local_table_bytes == gifformat::kMaxColourTableBytes &&
                              std::memcmp(block + image.local_table, global_table, image.local_table_bytes) == 0;
  if (image.local_table_bytes != 0 && !same_as_global) {
    out->rest[out->rest_count++] = {block + image.local_table, image.local_table_bytes};
  } else {
    descriptor[gifformat::kImagePackedOffset] &= static_cast<uint8_t>(
        ~(gifformat::kColourTableFlag | gifformat::kSortedImageTableFlag | gifformat::kColourTableSizeBits));
  }
  // Only the image itself: the block's other extensions are not the frame's.
  out->rest[out->rest_count++] = {block + image.data, image.data_end - image.data};
}

}  // namespace

bool SpliceFrameGif(const uint8_t* block, size_t length, const Palette& palette, uint16_t delay,
                    SplicedFrame* out) {
  if (block == nullptr || out == nullptr) return false;
  ImageLayout image;
  if (!ScanImage(block, length, &image)) return false;
  if (IsFixedLayout(block, length) && image.descriptor == kImageOffset) {
    SpliceFixedLayout(block, image, delay, out);
  } else {
    SpliceParsed(block, image, palette, delay, out);
  }
  return true;
}

}  // namespace gif
