// The GIF format library: the walker over files giflib writes, fed whole and
// as they grow, and over broken ones; the LZW decoder against giflib's on
// hand-packed code streams and on what the encoder writes; the vocabulary's
// writers read back by giflib.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "gifformat/gif_walker.h"
#include "gifformat/lzw_decoder.h"
#include "gifformat/lzw_encoder.h"
#include "tests/support/gif_decode.h"
#include "tests/support/giflib_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;
using gifformat::Error;
using gifformat::Step;
using gifformat::Unit;
using gifformat::UnitKind;

int AppendBytes(GifFileType* gif, const GifByteType* bytes, int length) {
  static_cast<Bytes*>(gif->UserData)->insert(static_cast<Bytes*>(gif->UserData)->end(), bytes, bytes + length);
  return length;
}

// giflib's file: a comment, a control extension, a 5x3 image with a local
// table of 16 entries, interlaced, then another comment.
Bytes GiflibFileWithEveryBlock() {
  Bytes file;
  int error = 0;
  GifFileType* gif = EGifOpen(&file, AppendBytes, &error);
  EGifSetGifVersion(gif, true);
  GifColorType colours[256] = {};
  ColorMapObject* global = GifMakeMapObject(256, colours);
  ColorMapObject* local = GifMakeMapObject(16, colours);
  EGifPutScreenDesc(gif, 7, 4, 8, 0, global);
  EGifPutComment(gif, "before");
  const GifByteType control[4] = {0x09, 0x0A, 0x00, 0x03};
  EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
  EGifPutImageDesc(gif, 1, 1, 5, 3, true, local);
  for (int y = 0; y < 3; ++y) {
    GifPixelType row[5];
    for (int x = 0; x < 5; ++x) row[x] = static_cast<GifPixelType>((x + 3 * y) % 16);
    EGifPutLine(gif, row, 5);
  }
  EGifPutComment(gif, "after");
  GifFreeMapObject(global);
  GifFreeMapObject(local);
  EGifCloseFile(gif, &error);
  return file;
}

// Each unit as a word: H (head), E<label> (an extension), I (an image),
// S (a sub-block), . (a chain's end), T (the trailer); then "end" or the
// error. Bytes come `piece` at a time, as from a file still being written;
// `cut` ends the input there.
std::string Walk(const Bytes& file, size_t piece, size_t cut, std::vector<Unit>* units = nullptr) {
  gifformat::Walker walker;
  std::string words;
  size_t at = 0;
  size_t have = 0;
  for (;;) {
    const bool ended = have >= cut;
    Unit unit;
    const Step step = walker.Next(file.data() + at, have - at, ended, &unit);
    if (step == Step::kNeedMore) {
      have = std::min(cut, have + piece);
      continue;
    }
    if (step == Step::kFailed) return words + gifformat::ErrorText(walker.error());
    if (step == Step::kEnd) return words + "end";
    if (units != nullptr) units->push_back(unit);
    at += unit.size;
    switch (unit.kind) {
      case UnitKind::kHeader: words += "H "; break;
      case UnitKind::kExtension: words += "E" + std::to_string(unit.label) + " "; break;
      case UnitKind::kImage: words += "I "; break;
      case UnitKind::kSubBlock: words += "S "; break;
      case UnitKind::kBlockEnd: words += ". "; break;
      case UnitKind::kTrailer: words += "T "; break;
    }
  }
}

// ------------------------------------------------------------ the walker

TEST(GifWalker, WalksEveryBlockOfAGiflibFileHoweverItArrives) {
  const Bytes file = GiflibFileWithEveryBlock();
  const std::string want = "H E254 S . E249 S . I S . E254 S . T end";
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{255}, file.size()}) {
    std::vector<Unit> units;
    EXPECT_EQ(Walk(file, piece, file.size(), &units), want) << piece << " bytes at a time";
    size_t total = 0;
    for (const Unit& unit : units) total += unit.size;
    EXPECT_EQ(total, file.size());
    ASSERT_EQ(units.size(), 14u);
    EXPECT_EQ(units[0].screen.width, 7);
    EXPECT_EQ(units[0].screen.table_entries, 256);
    const gifformat::ImageFields& image = units[7].image;
    EXPECT_EQ(image.left + 10 * image.top + 100 * image.width + 1000 * image.height, 3511) << "left, top, width, height";
    EXPECT_TRUE(image.interlaced);
    EXPECT_EQ(image.table_entries, 16);
    EXPECT_EQ(units[7].table_offset, 10u);
    EXPECT_EQ(image.code_size, 4);
    EXPECT_EQ(units[5].data_size(), 4u) << "the control extension's sub-block";
  }
}

TEST(GifWalker, EveryCutIsTruncatedOnceTheInputHasEnded) {
  const Bytes file = GiflibFileWithEveryBlock();
  const std::string whole = Walk(file, 1, file.size());
  for (size_t cut = 0; cut < file.size(); ++cut) {
    const std::string have = Walk(file, 3, cut);
    const std::string truncated = gifformat::ErrorText(Error::kTruncated);
    ASSERT_TRUE(have.size() >= truncated.size() && have.compare(have.size() - truncated.size(), truncated.size(),
                                                                 truncated) == 0)
        << "cut at " << cut << ": have " << have;
    EXPECT_EQ(whole.compare(0, have.size() - truncated.size(), have, 0, have.size() - truncated.size()), 0)
        << "cut at " << cut << ": the units before the cut are the whole file's";
  }
}

TEST(GifWalker, BrokenFiles) {
  const Bytes good = GiflibFileWithEveryBlock();
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes file = good;
    std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<ptrdiff_t>(at));
    return file;
  };
  const size_t image = 13 + 768 + 10 + 8;  // head, comment "before", control extension
  const size_t code_size = image + 10 + 48;
  const struct {
    const char* what;
    Bytes file;
    size_t cut;  // the input ends there
    std::string want;
  } cases[] = {
      {"a PNG", Bytes{0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H'}, 14, "no GIF signature"},
      {"GIF9 is refused before the head is whole", Bytes{'G', 'I', 'F', '9'}, 100, "no GIF signature"},
      {"GIF87a", with(4, {'7'}), good.size(), "H E254 S . E249 S . I S . E254 S . T end"},
      {"a zero byte where a block starts", with(13 + 768, {0x00}), good.size(), "H a byte that starts no GIF block"},
      {"code size 1", with(code_size, {1}), good.size(), "H E254 S . E249 S . an LZW code size outside 2 to 8"},
      {"code size 9", with(code_size, {9}), good.size(), "H E254 S . E249 S . an LZW code size outside 2 to 8"},
      {"junk after the trailer", [&] {
         Bytes file = good;
         file.push_back(0xEE);
         return file;
       }(), good.size() + 1, "H E254 S . E249 S . I S . E254 S . T end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Walk(c.file, 1, std::min(c.cut, c.file.size())), c.want);
  }
  // A failure sticks.
  gifformat::Walker walker;
  Unit unit;
  const Bytes png = cases[0].file;
  EXPECT_EQ(walker.Next(png.data(), png.size(), false, &unit), Step::kFailed);
  EXPECT_EQ(walker.Next(good.data(), good.size(), false, &unit), Step::kFailed);
  EXPECT_EQ(walker.error(), Error::kNotGif);
}

// ------------------------------------------------------------ the decoder

// Codes packed least significant bit first, each at the width the decoder
// reads it at: minimum code size + 1 after a clear code, one more once the
// dictionary has learnt the last code of a width (it learns one string per
// code after the first since a clear), up to 12.
struct CodePacker {
  explicit CodePacker(int code_size)
      : code_size(code_size), width(code_size + 1), next((1u << code_size) + 2) {}
  void Put(uint32_t code) {
    bits |= static_cast<uint64_t>(code) << count;
    count += width;
    while (count >= 8) {
      bytes.push_back(static_cast<uint8_t>(bits));
      bits >>= 8;
      count -= 8;
    }
    if (code == (1u << code_size)) {
      width = code_size + 1;
      next = (1u << code_size) + 2;
      first = true;
    } else if (first) {
      first = false;
    } else if (next < 4096) {
      ++next;
      if (next == 1u << width && width < 12) ++width;
    }
  }
  Bytes Done() {
    if (count > 0) bytes.push_back(static_cast<uint8_t>(bits));
    count = 0;
    return bytes;
  }
  int code_size, width;
  uint32_t next;
  bool first = true;
  uint64_t bits = 0;
  int count = 0;
  Bytes bytes;
};

// giflib's reading of `data` (joined code bytes) as a `width` x `height` image.
bool GiflibDecode(const Bytes& data, int code_size, int width, int height, Bytes* indices) {
  Bytes chain(1, static_cast<uint8_t>(code_size));
  chain.resize(1 + gifformat::SubBlocksSize(data.size()));
  gifformat::PutSubBlocks(data.data(), data.size(), chain.data() + 1);
  chain.push_back(0);
  testing_support::DecodedGif gif;
  std::string error;
  if (!testing_support::DecodeGif(testing_support::GifAround(chain, width, height), &gif, &error)) return false;
  *indices = gif.frames[0].indices;
  return true;
}

struct Decoded {
  Error error;
  Bytes indices;  // those before the error, when there is one
};

Decoded Decode(const Bytes& data, int code_size, size_t pixels, const uint8_t* roots = nullptr) {
  static gifformat::LzwDecoder decoder;  // one for every case: nothing may stay from the last
  Bytes out(pixels + gifformat::kLzwDecodeSlack);
  const Error error = decoder.Decode(data.data(), data.size(), code_size, out.data(), pixels, roots);
  out.resize(decoder.decoded());
  return {error, out};
}

TEST(LzwDecoder, HandPackedStreams) {
  // Code size 2: indices 0-3, clear 4, end 5, strings from 6.
  const struct {
    const char* what;
    std::vector<uint32_t> codes;
    size_t pixels;
    Error want_error;
    Bytes want;
  } cases[] = {
      {"indices", {4, 1, 2, 3, 5}, 3, Error::kNone, {1, 2, 3}},
      {"a learnt string", {4, 1, 2, 6, 5}, 4, Error::kNone, {1, 2, 1, 2}},
      {"the string being learnt", {4, 1, 6, 5}, 3, Error::kNone, {1, 1, 1}},
      {"no clear code first", {3, 6, 5}, 3, Error::kNone, {3, 3, 3}},
      {"the image ends inside a string; the bad code after it is not read", {4, 1, 6, 4, 6}, 2, Error::kNone,
       {1, 1}},
      {"no end code", {4, 1, 2}, 2, Error::kNone, {1, 2}},
      {"a clear code forgets the strings learnt", {4, 1, 2, 4, 3, 6}, 5, Error::kNone, {1, 2, 3, 3, 3}},
      {"a code not yet learnt", {4, 1, 7}, 3, Error::kBadCode, {1}},
      {"the string being learnt right after a clear", {4, 6}, 2, Error::kBadCode, {}},
      {"an end code too soon", {4, 1, 5, 2}, 2, Error::kImageDataShort, {1}},
      // 16 bits: no padding bits to read as codes.
      {"the data ends too soon", {4, 1, 2, 3, 1}, 6, Error::kImageDataShort, {1, 2, 3, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CodePacker packer(2);
    for (uint32_t code : c.codes) packer.Put(code);
    const Bytes data = packer.Done();
    const Decoded have = Decode(data, 2, c.pixels);
    EXPECT_EQ(gifformat::ErrorText(have.error), gifformat::ErrorText(c.want_error));
    EXPECT_EQ(have.indices, c.want);
    Bytes giflib;
    if (c.want_error == Error::kNone) {
      ASSERT_TRUE(GiflibDecode(data, 2, static_cast<int>(c.pixels), 1, &giflib));
      EXPECT_EQ(have.indices, giflib) << "giflib reads it otherwise";
    } else if (c.want_error == Error::kImageDataShort) {
      EXPECT_FALSE(GiflibDecode(data, 2, static_cast<int>(c.pixels), 1, &giflib)) << "giflib takes it";
    }
  }
  EXPECT_EQ(Decode(Bytes{0}, 1, 1).error, Error::kBadCodeSize);
  EXPECT_EQ(Decode(Bytes{0}, 9, 1).error, Error::kBadCodeSize);
}

TEST(LzwDecoder, AFullDictionaryWithoutAClearAsGiflibReadsIt) {
  // Every code size; strings of every length the dictionary learns, well
  // past 4096 codes with no clear code, so that codes stay 12 bits wide and
  // nothing more is learnt.
  std::mt19937 random(11);
  for (int code_size = 2; code_size <= 8; ++code_size) {
    SCOPED_TRACE("code size " + std::to_string(code_size));
    CodePacker packer(code_size);
    packer.Put(1u << code_size);
    size_t pixels = 0;
    std::vector<uint32_t> lengths(4096, 1);
    uint32_t previous = 0;
    for (int n = 0; n < 9000; ++n) {
      // A known string most of the time, else an index.
      const uint32_t known = packer.first ? 0 : packer.next - ((1u << code_size) + 2);
      uint32_t code = random() % (1u << code_size);
      if (known > 0 && random() % 4 != 0) code = (1u << code_size) + 2 + random() % known;
      const uint32_t length = code < (1u << code_size) ? 1 : lengths[code];
      if (!packer.first && packer.next < 4096) lengths[packer.next] = lengths[previous] + 1;
      previous = code;
      packer.Put(code);
      pixels += length;
    }
    // Then indices until the image is 1000 pixels wide.
    for (; pixels % 1000 != 0; ++pixels) packer.Put(1);
    const Bytes data = packer.Done();
    Bytes giflib;
    ASSERT_TRUE(GiflibDecode(data, code_size, 1000, static_cast<int>(pixels / 1000), &giflib));
    const Decoded have = Decode(data, code_size, pixels);
    EXPECT_EQ(have.error, Error::kNone);
    EXPECT_TRUE(have.indices == giflib) << "have " << have.indices.size() << " indices, giflib's differ";
    // Decoded through a table, every index comes out as the table says.
    uint8_t reversed[256];
    for (int i = 0; i < 256; ++i) reversed[i] = static_cast<uint8_t>(255 - i);
    for (uint8_t& index : giflib) index = reversed[index];
    EXPECT_TRUE(Decode(data, code_size, pixels, reversed).indices == giflib) << "through a table";
  }
}

TEST(LzwDecoder, DecodesWhatTheEncoderWrites) {
  std::mt19937 random(3);
  const struct {
    const char* what;
    int width, height;
    int alphabet;  // indices drawn from 0 .. alphabet - 1
    int run;       // each drawn index repeated this often
  } cases[] = {
      {"1x1", 1, 1, 256, 1},
      {"noise over every index: the dictionary fills and is cleared again and again", 700, 300, 256, 1},
      {"runs of four indices", 1920, 40, 4, 37},
      {"one index over 65535x1", 65535, 1, 1, 1},
  };
  gifformat::LzwEncoder encoder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image(static_cast<size_t>(c.width) * c.height);
    for (size_t i = 0; i < image.size(); ++i)
      image[i] = i % c.run == 0 ? static_cast<uint8_t>(random() % c.alphabet) : image[i - 1];
    Bytes chain;
    auto collect = [](void* context, const uint8_t* bytes, size_t length) {
      static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes, bytes + length);
      return true;
    };
    ASSERT_EQ(encoder.Write(image.data(), c.width, c.height, c.width, collect, &chain), gifformat::LzwResult::kOk);
    Bytes data(chain.size());
    data.resize(gifformat::JoinSubBlocks(chain.data() + 1, chain.size() - 1, data.data()));
    const Decoded have = Decode(data, chain[0], image.size());
    EXPECT_EQ(have.error, Error::kNone);
    EXPECT_TRUE(have.indices == image);
  }
}

// ------------------------------------------------------------ the writers

TEST(GifVocabulary, WritersAsGiflibReadsThem) {
  // A 2x1 file: head, looping extension, control extension, image, trailer.
  Bytes file = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, gifformat::kColourTableFlag | 0, 0, 0, 0, 0, 0, 9, 9, 9};
  uint8_t looping[gifformat::kLoopingExtensionSize];
  gifformat::WriteLoopingExtension(1000, looping);
  file.insert(file.end(), looping, looping + sizeof looping);
  gifformat::ControlFields fields;
  fields.disposal = gifformat::Disposal::kPrevious;
  fields.has_transparent = true;
  fields.transparent_index = 1;
  fields.delay = 65535;
  uint8_t control[gifformat::kControlExtensionSize];
  gifformat::WriteControlExtension(fields, control);
  file.insert(file.end(), control, control + sizeof control);
  // Indices 0 1: codes 4 0 1 5, 3 bits each.
  const Bytes image = {0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 2, 0x44, 0x0A, 0, 0x3B};
  file.insert(file.end(), image.begin(), image.end());
  testing_support::DecodedGif gif;
  std::string error;
  ASSERT_TRUE(testing_support::DecodeGif(file, &gif, &error)) << error;
  EXPECT_EQ(gif.loop_count, 1000);
  ASSERT_EQ(gif.frames.size(), 1u);
  EXPECT_EQ(gif.frames[0].disposal, 3);
  EXPECT_EQ(gif.frames[0].transparent_index, 1);
  EXPECT_EQ(gif.frames[0].delay, 65535);
  EXPECT_EQ(gif.frames[0].indices, (Bytes{0, 1}));
  const gifformat::ControlFields read = gifformat::ReadControlFields(control + 3);
  EXPECT_EQ(read.disposal, fields.disposal);
  EXPECT_EQ(read.delay, fields.delay);
  const uint8_t undefined_disposal[4] = {7 << 2, 0, 0, 0};
  EXPECT_EQ(gifformat::ReadControlFields(undefined_disposal).disposal, gifformat::Disposal::kUnspecified);
}

}  // namespace
