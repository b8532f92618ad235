// Decoding whole GIF files with giflib, for checking what the plug-in wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct DecodedFrame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint32_t> local_table;  // 0xRRGGBB; empty when none
  bool interlaced = false;
  std::vector<uint8_t> indices;  // top-down, width * height
  // From the frame's Graphic Control Extension; -1 when it has none.
  int delay = -1;
  int disposal = -1;
  int transparent_index = -1;
};

struct DecodedGif {
  std::string version;  // "GIF87a" / "GIF89a"
  int width = 0, height = 0;
  std::vector<uint32_t> global_table;  // 0xRRGGBB; empty when none
  int loop_count = -1;                 // from the looping extension; -1 when none
  std::vector<std::string> comments;
  std::vector<DecodedFrame> frames;
};

// False (with giflib's reason in `error`) when giflib cannot read the file.
bool DecodeGif(const std::vector<uint8_t>& bytes, DecodedGif* out, std::string* error);

}  // namespace testing_support
