// A host of our own for driving the export in tests: frames in the host's
// layout, scripted aborts and null frames, and a log of every callback.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plugin/plugin_interface.h"

namespace testing_support {

// 0xRRGGBB of the picture's pixel (x, y), y counted from the top.
using ColourAt = std::function<uint32_t(int x, int y)>;

// A host frame: blue, green, red bytes, rows bottom-up, each row padded to a
// multiple of 4 bytes.
std::vector<uint8_t> MakeHostFrame(int width, int height, const ColourAt& colour_at);
size_t HostStride(int width);

class FakeHost {
 public:
  FakeHost(int width, int height, int frame_count, std::string path);

  int32_t rate = 30;
  int32_t scale = 1;
  // Frame n's pixels; by default a pattern that differs per frame.
  std::function<std::vector<uint8_t>(int n)> frame_source;
  int abort_at = -1;       // is_aborted says stop when asked before this frame
  int null_frame_at = -1;  // get_frame returns null for this frame

  // Runs OutputAnimatedGif on an OutputInfo filled from the fields above.
  int32_t Export();
  OutputInfo Info();

  // "aborted? n", "progress n/N", "frame n", "refresh", in call order.
  std::vector<std::string> calls;
  int CountOf(const std::string& prefix) const;

  int width, height, frame_count;
  std::string path;

 private:
  static FakeHost* current_;
  std::vector<uint8_t> frame_;  // the pixels of the frame handed out last
  int asked_ = 0;               // frames asked about so far

  static void* LODRA_CDECL GetFrame(int32_t n);
  static int32_t LODRA_CDECL IsAborted();
  static int32_t LODRA_CDECL ReportProgress(int32_t current, int32_t total);
  static int32_t LODRA_CDECL HostRefresh();
};

// A per-test file path in the system's temporary folder.
std::string TempPath(const std::string& name);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// The indices the quantiser gives for a host frame, top-down, w x h.
std::vector<uint8_t> ExpectedIndices(const std::vector<uint8_t>& host_frame, int width, int height, bool masked);

// A pattern frame with many colours that moves with n.
std::vector<uint8_t> PatternFrame(int width, int height, int n);

}  // namespace testing_support
