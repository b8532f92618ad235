#include "gif/gif_splice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------- hand-made single images
// Small GIFs assembled piece by piece; the image data is one sub-block the
// splicer never decodes, so its content is arbitrary.

Bytes ColourTable(const Palette& palette) {
  Bytes table;
  for (uint32_t entry : palette.entries) {
    table.push_back(static_cast<uint8_t>(entry >> 16));
    table.push_back(static_cast<uint8_t>(entry >> 8));
    table.push_back(static_cast<uint8_t>(entry));
  }
  return table;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Signature(const char* version = "GIF89a") { return Bytes(version, version + 6); }
Bytes Screen(uint8_t packed) { return {2, 0, 1, 0, packed, 0, 0}; }  // 2 x 1
Bytes Control() { return {0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00}; }
Bytes Descriptor(uint8_t packed) { return {0x2C, 0, 0, 0, 0, 2, 0, 1, 0, packed}; }
Bytes ImageData() { return {0x08, 0x02, 0x44, 0x01, 0x00}; }
Bytes Comment() { return {0x21, 0xFE, 0x02, 'h', 'i', 0x00}; }
Bytes Trailer() { return {0x3B}; }

// What the imaging library is meant to write: global table, then the control
// extension at offset 781.
Bytes FixedLayout(const Palette& palette) {
  return Signature() + Screen(0xF7) + ColourTable(palette) + Control() + Descriptor(0x00) + ImageData() +
         Trailer();
}

// What it writes elsewhere: no global table, no control extension, the
// palette as a local table.
Bytes LocalTableLayout(const Bytes& local_table, uint8_t descriptor_packed = 0x87) {
  return Signature() + Screen(0x70) + Descriptor(descriptor_packed) + local_table + ImageData() + Trailer();
}

Bytes Written(const gif::SplicedFrame& frame) {
  Bytes out(frame.prefix, frame.prefix + frame.prefix_size);
  for (int i = 0; i < frame.rest_count; ++i) out.insert(out.end(), frame.rest[i].data, frame.rest[i].data + frame.rest[i].size);
  return out;
}

Bytes WantHead(const Palette& palette) { return Signature() + Screen(0xF7) + ColourTable(palette); }

// --------------------------------------------------------------- fixed layout

TEST(SpliceFrameGif, FixedLayoutIsCutAtFixedOffsets) {
  const Palette& palette = FixedPalette();
  const Bytes block = FixedLayout(palette);
  gif::SplicedFrame frame;
  ASSERT_TRUE(gif::SpliceFrameGif(block.data(), block.size(), palette, 0x1234, &frame));
  EXPECT_EQ(Bytes(frame.head, frame.head + 781), Bytes(block.begin(), block.begin() + 781));
  // Disposal 2 and the transparent flag (0x09), the delay low byte first; the
  // rest of the extension as the encoder wrote it; the trailer dropped.
  const Bytes want = Bytes{0x21, 0xF9, 0x04, 0x09, 0x34, 0x12, 0x00, 0x00} + Descriptor(0x00) + ImageData();
  EXPECT_EQ(Written(frame), want);
}

TEST(SpliceFrameGif, FixedLayoutKeepsTheEncodersTransparentIndex) {
  const Palette& palette = FixedPalette();
  Bytes block = FixedLayout(palette);
  block[781 + 6] = 0x07;
  gif::SplicedFrame frame;
  ASSERT_TRUE(gif::SpliceFrameGif(block.data(), block.size(), palette, 3, &frame));
  EXPECT_EQ(frame.prefix[6], 0x07);
}

// ---------------------------------------------------------- parsed layouts

struct ParsedCase {
  const char* what;
  Bytes block;
  Bytes want_frame;  // control extension + descriptor + [local table] + data
};

// Whatever the layout, the frame comes out in the fixed one.
TEST(SpliceFrameGif, EveryLayoutComesOutInTheFixedOne) {
  const Palette& palette = FixedPalette();
  const Bytes fixed = FixedLayout(palette);
  const Bytes table = ColourTable(palette);
  Bytes other_table = table;
  other_table[3] ^= 0xFF;
  const Bytes control = {0x21, 0xF9, 0x04, 0x09, 0x05, 0x00, 0x00, 0x00};
  const ParsedCase cases[] = {
      {"the fixed layout without its trailer is taken whole", Bytes(fixed.begin(), fixed.end() - 1),
       control + Descriptor(0x00) + ImageData()},
      // A comment after the image, before the trailer, is not the frame's.
      {"the fixed layout keeps only the image", Bytes(fixed.begin(), fixed.end() - 1) + Comment() + Control() + Trailer(),
       control + Descriptor(0x00) + ImageData()},
      {"local table equal to the palette is dropped", LocalTableLayout(table),
       control + Descriptor(0x00) + ImageData()},
      {"a different local table is kept", LocalTableLayout(other_table),
       control + Descriptor(0x87) + other_table + ImageData()},
      {"a smaller local table is kept", LocalTableLayout(Bytes(6, 0x11), 0x80),
       control + Descriptor(0x80) + Bytes(6, 0x11) + ImageData()},
      {"interlacing survives dropping the table", LocalTableLayout(table, 0xC7),
       control + Descriptor(0x40) + ImageData()},
      {"no trailer: the image is complete", Signature() + Screen(0x70) + Descriptor(0x87) + table + ImageData(),
       control + Descriptor(0x00) + ImageData()},
      {"no table at all", Signature() + Screen(0x00) + Descriptor(0x00) + ImageData() + Trailer(),
       control + Descriptor(0x00) + ImageData()},
      {"extensions around the image are skipped, GIF87a taken",
       Signature("GIF87a") + Screen(0x70) + Comment() + Control() + Descriptor(0x87) + table + ImageData() +
           Comment() + Trailer(),
       control + Descriptor(0x00) + ImageData()},
      {"the fixed layout as GIF87a gets a GIF89a head",
       Signature("GIF87a") + Screen(0xF7) + table + Control() + Descriptor(0x00) + ImageData() + Trailer(),
       control + Descriptor(0x00) + ImageData()},
      {"the fixed layout with a comment between extension and image: rewritten",
       Signature() + Screen(0xF7) + table + Control() + Comment() + Descriptor(0x00) + ImageData() + Trailer(),
       control + Descriptor(0x00) + ImageData()},
      {"a global table of another size, control extension elsewhere",
       Signature() + Screen(0x80) + Bytes(6, 0) + Control() + Descriptor(0x00) + ImageData() + Trailer(),
       control + Descriptor(0x00) + ImageData()},
  };
  for (const ParsedCase& c : cases) {
    gif::SplicedFrame frame;
    ASSERT_TRUE(gif::SpliceFrameGif(c.block.data(), c.block.size(), palette, 5, &frame)) << c.what;
    EXPECT_EQ(Bytes(frame.head, frame.head + 781), WantHead(palette)) << c.what;
    EXPECT_EQ(Written(frame), c.want_frame) << c.what;
  }
}

TEST(SpliceFrameGif, HeadTakesTheBlocksScreenSize) {
  const Palette& palette = FixedPalette();
  Bytes block = LocalTableLayout(ColourTable(palette));
  block[6] = 0x34;  // width 0x0234
  block[7] = 0x02;
  block[8] = 0x90;  // height 0x0190
  block[9] = 0x01;
  gif::SplicedFrame frame;
  ASSERT_TRUE(gif::SpliceFrameGif(block.data(), block.size(), palette, 5, &frame));
  EXPECT_EQ(Bytes(frame.head + 6, frame.head + 10), (Bytes{0x34, 0x02, 0x90, 0x01}));
}

// ------------------------------------------------------------ broken blocks

TEST(SpliceFrameGif, RefusesWhatIsNoSingleImageGif) {
  const Palette& palette = FixedPalette();
  const Bytes table = ColourTable(palette);
  const Bytes good = LocalTableLayout(table);
  const Bytes fixed = FixedLayout(palette);
  const struct {
    const char* what;
    Bytes block;
  } cases[] = {
      {"empty", {}},
      {"signature only", Signature()},
      {"not a GIF", Bytes{'P', 'N', 'G', 'x', 'x', 'x'} + Screen(0x70) + Descriptor(0) + ImageData() + Trailer()},
      {"unknown version", Signature("GIF90a") + Screen(0x70) + Descriptor(0) + ImageData() + Trailer()},
      {"truncated screen descriptor", Signature() + Bytes{2, 0, 1}},
      {"truncated global table", Signature() + Screen(0xF7) + Bytes(100, 0)},
      {"fixed layout cut short", Bytes(fixed.begin(), fixed.begin() + 785)},
      {"fixed layout, garbage where the image belongs",
       Bytes(fixed.begin(), fixed.begin() + 789) + Bytes{0x00, 0x01, 0x02} + Trailer()},
      {"fixed layout without a signature", Bytes(6, 0) + Bytes(fixed.begin() + 6, fixed.end())},
      {"fixed layout, control extension without its terminator",
       Bytes(fixed.begin(), fixed.begin() + 788) + Bytes{0xFF} + Bytes(fixed.begin() + 789, fixed.end())},
      {"fixed layout, no image", Bytes(fixed.begin(), fixed.begin() + 789) + Trailer()},
      {"fixed layout, bytes after the trailer", fixed + Bytes{0x00}},
      {"fixed layout, image cut short", Bytes(fixed.begin(), fixed.end() - 3)},
      {"no image", Signature() + Screen(0x70) + Comment() + Trailer()},
      {"unknown block", Signature() + Screen(0x70) + Bytes{0x99} + Descriptor(0) + ImageData() + Trailer()},
      {"truncated local table", Bytes(good.begin(), good.begin() + 200)},
      {"truncated image data", Signature() + Screen(0x70) + Descriptor(0) + Bytes{0x08, 0x05, 0x01}},
      {"unterminated sub-blocks", Signature() + Screen(0x70) + Descriptor(0) + Bytes{0x08, 0x02, 0x44, 0x01}},
      {"code size 0", Signature() + Screen(0x70) + Descriptor(0) + Bytes{0x00, 0x00} + Trailer()},
      {"code size 12", Signature() + Screen(0x70) + Descriptor(0) + Bytes{0x0C, 0x00} + Trailer()},
      {"two images", Signature() + Screen(0x70) + Descriptor(0) + ImageData() + Descriptor(0) + ImageData() + Trailer()},
      {"garbage after the image", Signature() + Screen(0x70) + Descriptor(0) + ImageData() + Bytes{0x00, 0x3B}},
      {"unterminated extension", Signature() + Screen(0x70) + Bytes{0x21, 0xFE, 0x05, 'a'}},
  };
  for (const auto& c : cases) {
    gif::SplicedFrame frame;
    EXPECT_FALSE(gif::SpliceFrameGif(c.block.data(), c.block.size(), palette, 3, &frame)) << c.what;
  }
}

}  // namespace
