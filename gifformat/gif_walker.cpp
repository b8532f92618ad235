#include "gifformat/gif_walker.h"

#include <cstring>

namespace gifformat {

const char* ErrorText(Error error) {
  switch (error) {
    case Error::kNone: return "no error";
    case Error::kNotGif: return "no GIF signature";
    case Error::kTruncated: return "the data ends before the trailer";
    case Error::kUnknownBlock: return "a byte that starts no GIF block";
    case Error::kBadCodeSize: return "an LZW code size outside 2 to 8";
    case Error::kBadCode: return "LZW data with a code not yet defined";
    case Error::kImageDataShort: return "image data that ends before the image's last pixel";
  }
  return "unknown error";
}

ControlFields ReadControlFields(const uint8_t data[kControlDataSize]) {
  ControlFields fields;
  const int disposal = (data[0] & kDisposalBits) >> kDisposalShift;
  fields.disposal = disposal <= 3 ? static_cast<Disposal>(disposal) : Disposal::kUnspecified;
  fields.user_input = (data[0] & kUserInputFlag) != 0;
  fields.has_transparent = (data[0] & kTransparentFlag) != 0;
  fields.delay = ReadLe16(data + 1);
  fields.transparent_index = data[3];
  return fields;
}

void WriteControlExtension(const ControlFields& fields, uint8_t out[kControlExtensionSize]) {
  out[0] = kExtensionIntroducer;
  out[1] = kGraphicControlLabel;
  out[2] = kControlDataSize;
  out[3] = static_cast<uint8_t>(static_cast<uint8_t>(fields.disposal) << kDisposalShift |
                                (fields.user_input ? kUserInputFlag : 0) |
                                (fields.has_transparent ? kTransparentFlag : 0));
  WriteLe16(out + 4, fields.delay);
  out[6] = fields.transparent_index;
  out[7] = kBlockTerminator;
}

void WriteLoopingExtension(uint16_t loop_count, uint8_t out[kLoopingExtensionSize]) {
  out[0] = kExtensionIntroducer;
  out[1] = kApplicationLabel;
  out[2] = kApplicationIdSize;
  std::memcpy(out + 3, kLoopingApplication, kApplicationIdSize);
  out[14] = 3;  // sub-block size
  out[15] = kLoopSubBlockId;
  WriteLe16(out + 16, loop_count);
  out[18] = kBlockTerminator;
}

size_t PutSubBlocks(const uint8_t* data, size_t count, uint8_t* out) {
  uint8_t* at = out;
  while (count > 0) {
    const size_t length = count < kMaxSubBlockData ? count : kMaxSubBlockData;
    *at++ = static_cast<uint8_t>(length);
    std::memcpy(at, data, length);
    at += length;
    data += length;
    count -= length;
  }
  return static_cast<size_t>(at - out);
}

Step Walker::Fail(Error error) {
  state_ = State::kFailed;
  error_ = error;
  return Step::kFailed;
}

Step Walker::Next(const uint8_t* bytes, size_t available, bool input_ended, Unit* unit) {
  // A unit of `size` bytes is all there, or the walk waits or fails.
  auto missing = [&](size_t size) { return available < size; };
  auto short_step = [&] { return input_ended ? Fail(Error::kTruncated) : Step::kNeedMore; };

  switch (state_) {
    case State::kFailed: return Step::kFailed;
    case State::kEnded: return Step::kEnd;
    case State::kExtensionChain:
    case State::kImageChain: return Chain(bytes, available, input_ended, unit);
    case State::kHead: {
      // A wrong signature is said as soon as it shows.
      const size_t seen = available < kSignatureSize ? available : kSignatureSize;
      // (No bytes may come with no buffer: memcmp is not asked then.)
      const bool is_87a = seen == 0 || std::memcmp(bytes, kSignature87a, seen) == 0;
      const bool is_89a = seen == 0 || std::memcmp(bytes, kSignature89a, seen) == 0;
      if (!is_87a && !is_89a) return Fail(Error::kNotGif);
      if (missing(kHeaderSize)) return short_step();
      *unit = Unit();
      ScreenFields& screen = unit->screen;
      screen.is_89a = is_89a;
      screen.width = ReadLe16(bytes + 6);
      screen.height = ReadLe16(bytes + 8);
      screen.packed = bytes[10];
      screen.background = bytes[11];
      screen.aspect = bytes[12];
      screen.table_entries = (screen.packed & kColourTableFlag) != 0 ? ColourTableEntries(screen.packed) : 0;
      unit->kind = UnitKind::kHeader;
      unit->table_offset = screen.table_entries > 0 ? kHeaderSize : 0;
      unit->size = kHeaderSize + 3 * static_cast<size_t>(screen.table_entries);
      if (missing(unit->size)) return short_step();
      state_ = State::kBlocks;
      return Step::kUnit;
    }
    case State::kBlocks: break;
  }

  if (missing(1)) return short_step();
  *unit = Unit();
  switch (bytes[0]) {
    case kTrailer:
      unit->kind = UnitKind::kTrailer;
      unit->size = 1;
      state_ = State::kEnded;
      return Step::kUnit;
    case kExtensionIntroducer:
      if (missing(kExtensionHeadSize)) return short_step();
      unit->kind = UnitKind::kExtension;
      unit->size = kExtensionHeadSize;
      unit->label = bytes[1];
      label_ = bytes[1];
      sub_block_ = 0;
      state_ = State::kExtensionChain;
      return Step::kUnit;
    case kImageSeparator: {
      if (missing(kImageDescriptorSize)) return short_step();
      ImageFields& image = unit->image;
      image.left = ReadLe16(bytes + 1);
      image.top = ReadLe16(bytes + 3);
      image.width = ReadLe16(bytes + 5);
      image.height = ReadLe16(bytes + 7);
      image.packed = bytes[kImagePackedOffset];
      image.interlaced = (image.packed & kInterlacedFlag) != 0;
      image.table_entries = (image.packed & kColourTableFlag) != 0 ? ColourTableEntries(image.packed) : 0;
      unit->kind = UnitKind::kImage;
      unit->table_offset = image.table_entries > 0 ? kImageDescriptorSize : 0;
      const size_t code_size_at = kImageDescriptorSize + 3 * static_cast<size_t>(image.table_entries);
      unit->size = code_size_at + 1;
      if (missing(unit->size)) return short_step();
      image.code_size = bytes[code_size_at];
      if (image.code_size < kMinLzwCodeSize || image.code_size > kMaxLzwCodeSize) return Fail(Error::kBadCodeSize);
      sub_block_ = 0;
      state_ = State::kImageChain;
      return Step::kUnit;
    }
    default: return Fail(Error::kUnknownBlock);
  }
}

Step Walker::Chain(const uint8_t* bytes, size_t available, bool input_ended, Unit* unit) {
  if (available < 1 || available < 1u + bytes[0]) return input_ended ? Fail(Error::kTruncated) : Step::kNeedMore;
  *unit = Unit();
  unit->in_image = state_ == State::kImageChain;
  unit->label = unit->in_image ? 0 : label_;
  unit->size = 1u + bytes[0];
  if (bytes[0] == kBlockTerminator) {
    unit->kind = UnitKind::kBlockEnd;
    state_ = State::kBlocks;
  } else {
    unit->kind = UnitKind::kSubBlock;
    unit->sub_block = sub_block_++;
  }
  return Step::kUnit;
}

}  // namespace gifformat
