// Fuzz target: the splicer on arbitrary bytes.
//
// Whatever the block, SpliceFrameGif either refuses it or returns pieces that
// lie inside the block and that, put together as the export writes them
// (head, then the frame: prefix and rest, then a trailer), form a GIF89a
// stream with exactly one frame: our Graphic Control Extension, one image,
// nothing that would spill into the next frame. Where giflib reads the block
// itself as one image, it must read the spliced stream as the same image.
//
// Inputs are plain files: a corpus entry is just a GIF.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "gif/gif_splice.h"
#include "quantize/palette.h"
#include "tests/support/gif_decode.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Both bytes differ, so a swapped or half-written delay shows.
constexpr uint16_t kDelay = 0x1234;

// A walk over the stream's blocks, written apart from the splicer's own
// parser. Returns an empty string when `stream` is the head of an animation
// with one frame and the trailer, else what is wrong and where.
class FrameStreamCheck {
 public:
  explicit FrameStreamCheck(const Bytes& stream) : s_(stream) {}

  std::string Run() {
    if (!Has(6) || std::memcmp(&s_[0], "GIF89a", 6) != 0) return At("no GIF89a signature");
    pos_ = 6;
    if (!Has(7)) return At("short logical screen descriptor");
    const uint8_t screen_packed = s_[pos_ + 4];
    pos_ += 7;
    // The head is a fixed 781 bytes: a 256-entry global table, nothing else.
    if ((screen_packed & 0x87) != 0x87) return At("global colour table is not 256 entries");
    if (!Has(768)) return At("short global colour table");
    pos_ += 768;

    // The frame opens with our Graphic Control Extension:
    // 21 F9 04 <packed> <delay lo> <delay hi> <transparent index> 00.
    if (!Has(8) || s_[pos_] != 0x21 || s_[pos_ + 1] != 0xF9 || s_[pos_ + 2] != 4 || s_[pos_ + 7] != 0)
      return At("frame does not open with a 4-byte graphic control extension");
    if (s_[pos_ + 3] != 0x09) return At("control extension packed fields are not 0x09");
    const int delay = s_[pos_ + 4] | s_[pos_ + 5] << 8;
    if (delay != kDelay) return At("control extension delay " + std::to_string(delay));
    pos_ += 8;

    bool image_seen = false;
    for (;;) {
      if (!Has(1)) return At("stream ends without a trailer");
      const uint8_t introducer = s_[pos_++];
      if (introducer == 0x3B) {
        if (!image_seen) return At("trailer before the image");
        if (pos_ != s_.size()) return At("bytes after the trailer");
        return "";
      }
      if (introducer == 0x21) {
        if (!Has(1)) return At("extension without a label");
        // A second control extension would govern the next frame.
        if (s_[pos_] == 0xF9) return At("another graphic control extension");
        ++pos_;
        const std::string error = SubBlocks();
        if (!error.empty()) return error;
        continue;
      }
      if (introducer == 0x2C) {
        if (image_seen) return At("a second image");
        image_seen = true;
        if (!Has(9)) return At("short image descriptor");
        const uint8_t packed = s_[pos_ + 8];
        pos_ += 9;
        if ((packed & 0x80) != 0) {
          const size_t table = size_t{3} << ((packed & 0x07) + 1);
          if (!Has(table)) return At("short local colour table");
          pos_ += table;
        }
        if (!Has(1)) return At("no LZW minimum code size");
        const uint8_t code_size = s_[pos_++];
        if (code_size < 2 || code_size > 8) return At("LZW minimum code size " + std::to_string(code_size));
        const std::string error = SubBlocks();
        if (!error.empty()) return error;
        continue;
      }
      --pos_;
      return At("unknown block introducer " + std::to_string(introducer));
    }
  }

 private:
  bool Has(size_t bytes) const { return s_.size() - pos_ >= bytes; }
  std::string At(const std::string& what) const { return what + " at offset " + std::to_string(pos_); }
  std::string SubBlocks() {
    for (;;) {
      if (!Has(1)) return At("sub-blocks run past the end");
      const uint8_t size = s_[pos_++];
      if (size == 0) return "";
      if (!Has(size)) return At("sub-block runs past the end");
      pos_ += size;
    }
  }

  const Bytes& s_;
  size_t pos_ = 0;
};

bool Inside(const uint8_t* block, size_t length, const uint8_t* data, size_t size) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(block);
  const uintptr_t first = reinterpret_cast<uintptr_t>(data);
  return data != nullptr && first >= begin && first - begin <= length && size <= length - (first - begin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes on the heap, so a read past it is caught.
  const Bytes block(data, data + size);
  const uint8_t* first = block.empty() ? nullptr : block.data();

  gif::SplicedFrame frame;
  std::memset(&frame, 0xCD, sizeof frame);  // whatever is not written shows
  if (first == nullptr) {
    FUZZ_CHECK(!gif::SpliceFrameGif(first, 0, FixedPalette(), kDelay, &frame), "a null block is refused");
    return 0;
  }
  if (!gif::SpliceFrameGif(first, block.size(), FixedPalette(), kDelay, &frame)) return 0;

  FUZZ_CHECK(frame.prefix_size == gifformat::kControlExtensionSize ||
                 frame.prefix_size == gifformat::kControlExtensionSize + gifformat::kImageDescriptorSize,
             "prefix size " + std::to_string(frame.prefix_size));
  FUZZ_CHECK(frame.rest_count == 1 || frame.rest_count == 2, "rest count " + std::to_string(frame.rest_count));
  size_t rest_size = 0;
  for (int i = 0; i < frame.rest_count; ++i) {
    const gif::SplicedFrame::Span& piece = frame.rest[i];
    FUZZ_CHECK(Inside(first, block.size(), piece.data, piece.size),
               "piece " + std::to_string(i) + " at offset " +
                   std::to_string(reinterpret_cast<uintptr_t>(piece.data) - reinterpret_cast<uintptr_t>(first)) +
                   ", " + std::to_string(piece.size) + " bytes, lies outside the " +
                   std::to_string(block.size()) + "-byte block");
    rest_size += piece.size;
  }
  // head, prefix, rest, trailer
  Bytes stream(sizeof frame.head + frame.prefix_size + rest_size + 1);
  uint8_t* at = stream.data();
  std::memcpy(at, frame.head, sizeof frame.head);
  at += sizeof frame.head;
  std::memcpy(at, frame.prefix, frame.prefix_size);
  at += frame.prefix_size;
  for (int i = 0; i < frame.rest_count; ++i) {
    std::memcpy(at, frame.rest[i].data, frame.rest[i].size);
    at += frame.rest[i].size;
  }
  *at = gifformat::kTrailer;

  const std::string malformed = FrameStreamCheck(stream).Run();
  FUZZ_CHECK(malformed.empty(), "spliced stream: " + malformed);

  // Where giflib reads the block as one image, it reads the splice as the
  // same image with our control extension.
  testing_support::DecodedGif original;
  std::string error;
  if (!testing_support::DecodeGif(block, &original, &error) || original.frames.size() != 1) return 0;
  testing_support::DecodedGif spliced;
  FUZZ_CHECK(testing_support::DecodeGif(stream, &spliced, &error), "giflib cannot read the splice: " + error);
  FUZZ_CHECK_EQ(spliced.frames.size(), size_t{1}, "frames");
  const testing_support::DecodedFrame& have = spliced.frames[0];
  const testing_support::DecodedFrame& want = original.frames[0];
  FUZZ_CHECK_EQ(spliced.width, original.width, "screen width");
  FUZZ_CHECK_EQ(spliced.height, original.height, "screen height");
  FUZZ_CHECK_EQ(have.width, want.width, "image width");
  FUZZ_CHECK_EQ(have.height, want.height, "image height");
  FUZZ_CHECK_EQ(have.left, want.left, "image left");
  FUZZ_CHECK_EQ(have.top, want.top, "image top");
  FUZZ_CHECK_EQ(have.interlaced, want.interlaced, "interlace flag");
  FUZZ_CHECK(have.indices == want.indices, "the spliced image's indices differ from the block's");
  FUZZ_CHECK_EQ(have.delay, int{kDelay}, "delay");
  FUZZ_CHECK_EQ(have.disposal, 2, "disposal");
  return 0;
}
