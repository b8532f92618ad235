// The GIF format's vocabulary: what every writer, reader and tool of ours
// that walks a GIF's blocks names its bytes by. Nothing here depends on
// anything else of ours.
//
// A GIF file is a head, then blocks, then a trailer. All numbers are
// little-endian.
//
//   signature     "GIF87a" or "GIF89a" (extensions need 89a)
//   screen        width(2) height(2) packed(1) background(1) aspect(1)
//                 packed: 1xxxxxxx a global colour table follows;
//                         x111xxxx colour resolution less one (informative);
//                         xxxx1xxx the table is sorted; xxxxx111 the table
//                         holds 2^(n+1) entries of red, green, blue
//   global table  3 * 2^(n+1) bytes, when the flag says so
//   blocks        any number of extensions and images, in any order
//   trailer       3B
//
// An extension is 21, a label, then a chain of data sub-blocks. A sub-block
// is a size byte (1..255) and that many bytes; an empty sub-block (the byte
// 00) ends the chain, so a reader can skip any extension without knowing it.
//
// An image is 2C, a descriptor left(2) top(2) width(2) height(2) packed(1),
// a local colour table when packed says so (the same bits as the screen's,
// with xx1xxxxx meaning interlaced rows in place of the resolution), then
// the LZW minimum code size (one byte) and the coded indices as a sub-block
// chain. The image draws onto the screen at (left, top).
//
// The Graphic Control Extension (label F9) says how the next image is shown.
// Its one sub-block is 4 bytes: packed, delay(2), transparent index:
//   packed  000xxxxx reserved; xxx111xx the disposal method; xxxxxx1x wait
//           for user input; xxxxxxx1 the transparent index is valid
//   delay   hundredths of a second the picture stays before the next image
// An image's pixels of the transparent index are not drawn: what was on the
// screen shows through. Disposal says what becomes of the image's rectangle
// once its delay is over, before the next image draws:
//   0 unspecified and 1 none: it stays as drawn
//   2 restore to background: it is cleared; browsers clear it to
//     transparent, not to the background colour
//   3 restore to previous: it goes back to what it was before the image
// Browsers start every play of an animation from a transparent screen.
//
// The looping extension is the application extension (label FF) whose
// first sub-block is the 11 bytes "NETSCAPE2.0", followed by the sub-block
// 01 <count lo> <count hi>: a count of 0 loops forever, N repeats the
// animation N times after its first play.
//
// The LZW coding: with minimum code size m, codes 0 .. 2^m - 1 are the
// indices themselves, 2^m is the clear code (forget what was learnt, codes
// back to m + 1 bits), 2^m + 1 ends the data, and from 2^m + 2 on each code
// read after the first one since a clear names a new string: the string of
// the code before it extended by the first index of its own string. Codes
// are m + 1 bits wide at first and one bit wider once the last code of that
// width has been learnt, up to 12 bits; once code 4095 is learnt, nothing
// more is learnt until the next clear code. The codes are packed least
// significant bit first into the bytes of the sub-blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gifformat {

// ----------------------------------------------------------------- the head

constexpr char kSignature87a[] = "GIF87a";
constexpr char kSignature89a[] = "GIF89a";
constexpr size_t kSignatureSize = 6;
constexpr size_t kScreenDescriptorSize = 7;
constexpr size_t kHeaderSize = kSignatureSize + kScreenDescriptorSize;  // 13: signature and screen

// Packed fields of the screen and image descriptors.
constexpr uint8_t kColourTableFlag = 0x80;      // 1xxxxxxx: a colour table follows
constexpr uint8_t kColourResolutionBits = 0x70;  // x111xxxx: screen only
constexpr uint8_t kInterlacedFlag = 0x40;        // x1xxxxxx: image only
constexpr uint8_t kSortedScreenTableFlag = 0x08;  // xxxx1xxx: screen only
constexpr uint8_t kSortedImageTableFlag = 0x20;   // xx1xxxxx: image only
constexpr uint8_t kColourTableSizeBits = 0x07;   // xxxxx111: 2^(n+1) entries

constexpr int kMaxColourTableEntries = 256;
constexpr size_t kMaxColourTableBytes = 3 * kMaxColourTableEntries;
constexpr int ColourTableEntries(uint8_t packed) { return 2 << (packed & kColourTableSizeBits); }
constexpr size_t ColourTableBytes(uint8_t packed) { return 3 * static_cast<size_t>(ColourTableEntries(packed)); }

// -------------------------------------------------------------- the blocks

constexpr uint8_t kExtensionIntroducer = 0x21;  // '!'
constexpr uint8_t kImageSeparator = 0x2C;       // ','
constexpr uint8_t kTrailer = 0x3B;              // ';'

constexpr uint8_t kPlainTextLabel = 0x01;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kCommentLabel = 0xFE;
constexpr uint8_t kApplicationLabel = 0xFF;

constexpr size_t kExtensionHeadSize = 2;  // introducer, label
constexpr size_t kMaxSubBlockData = 255;
constexpr uint8_t kBlockTerminator = 0x00;  // the empty sub-block that ends a chain

// The image descriptor, separator included: 2C left(2) top(2) width(2)
// height(2) packed.
constexpr size_t kImageDescriptorSize = 10;
constexpr size_t kImagePackedOffset = 9;

// ------------------------------------------------ Graphic Control Extension

// 21 F9 04 packed delay(2) transparent-index 00
constexpr size_t kControlDataSize = 4;
constexpr size_t kControlExtensionSize = kExtensionHeadSize + 1 + kControlDataSize + 1;  // 8
constexpr uint8_t kTransparentFlag = 0x01;  // xxxxxxx1
constexpr uint8_t kUserInputFlag = 0x02;    // xxxxxx1x
constexpr int kDisposalShift = 2;           // xxx111xx
constexpr uint8_t kDisposalBits = 0x1C;

enum class Disposal : uint8_t {
  kUnspecified = 0,
  kNone = 1,        // the image stays
  kBackground = 2,  // its rectangle is cleared (to transparent, in browsers)
  kPrevious = 3,    // its rectangle goes back to what was there before it
};

struct ControlFields {
  Disposal disposal = Disposal::kUnspecified;
  bool user_input = false;
  bool has_transparent = false;
  uint8_t transparent_index = 0;
  uint16_t delay = 0;  // hundredths of a second
};

// The 4 data bytes of a control extension's sub-block. Disposal values 4-7
// (undefined) are read as unspecified, as browsers treat them.
ControlFields ReadControlFields(const uint8_t data[kControlDataSize]);
// The whole extension, 8 bytes from its introducer to its terminator.
void WriteControlExtension(const ControlFields& fields, uint8_t out[kControlExtensionSize]);

// ------------------------------------------------------- looping extension

// 21 FF 0B "NETSCAPE2.0" 03 01 <count lo> <count hi> 00
constexpr char kLoopingApplication[] = "NETSCAPE2.0";
constexpr size_t kApplicationIdSize = 11;
constexpr uint8_t kLoopSubBlockId = 0x01;
constexpr size_t kLoopingExtensionSize = kExtensionHeadSize + 1 + kApplicationIdSize + 1 + 3 + 1;  // 19
void WriteLoopingExtension(uint16_t loop_count, uint8_t out[kLoopingExtensionSize]);

// -------------------------------------------------------------------- LZW

constexpr int kMinLzwCodeSize = 2;
constexpr int kMaxLzwCodeSize = 8;  // of the minimum code size byte: indices of 8 bits
constexpr int kMaxCodeBits = 12;
constexpr uint32_t kCodeLimit = 1u << kMaxCodeBits;  // 4096 codes, 0 .. 4095

// ------------------------------------------------------------------ limits

constexpr int32_t kMaxSide = 65535;  // screen and image sides are 16-bit fields

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void WriteLe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace gifformat
