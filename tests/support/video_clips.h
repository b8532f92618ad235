// Video clips for the tests of lodra-gif's video input, made at test time by
// the ffmpeg command from real pictures of Debian's desktop-base package (a
// wallpaper, and a picture of the Earth with an alpha channel), and what
// ffmpeg and ffprobe say about them: the independent reference every
// export is checked against. Native only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// The pictures the clips are made from.
constexpr const char* kWallpaper = "/usr/share/desktop-base/softwaves-theme/grub/grub-16x9.png";
constexpr const char* kEarth = "/usr/share/plymouth/themes/spacefun/earth3.png";

// The path of the clip `name` (see video_clips.cpp for the list), made
// when it is missing, or "" after failing the test with the reason: ffmpeg
// or a picture missing, or a clip ffmpeg could not make. Clips are kept in
// the temporary folder between test programs, under names that change with
// the commands that make them.
std::string Clip(const std::string& name);

// Runs ffmpeg (with -nostdin -v error -y before `args`) or ffprobe (-v
// error); false, failing the test with its message, when it fails.
bool Ffmpeg(const std::vector<std::string>& args);
bool Ffprobe(const std::vector<std::string>& args, std::string* out);
// One value from ffprobe about the first video stream: Probe(clip,
// "stream=width") or Probe(clip, "stream_side_data=rotation"); "" if none.
std::string Probe(const std::string& clip, const std::string& entry);

// A picture as ffmpeg decodes it: rows top-down, `channels` bytes a pixel
// (3: blue, green, red; 4: and alpha).
struct RefFrame {
  int width = 0, height = 0, channels = 3;
  std::vector<uint8_t> pixels;
  const uint8_t* At(int x, int y) const { return pixels.data() + (static_cast<size_t>(y) * width + x) * channels; }
};
// ffmpeg's decode of `input_args` (e.g. {"-i", clip}) through `filter` (may
// be empty) as bgr24, or bgra when `alpha`: every frame, at `width` x
// `height`.
std::vector<RefFrame> ReferenceFrames(const std::vector<std::string>& input_args, const std::string& filter,
                                      bool alpha, int width, int height);

}  // namespace testing_support
