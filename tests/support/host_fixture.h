// A host of our own for driving exports in tests and fuzzers: frames in the
// host layout, scripted stops and missing frames, and a log of every call.
// No GoogleTest here: the fuzz targets use it too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "gif/output_pass.h"
#include "plugin/plugin_interface.h"
#include "tests/support/reference_rules.h"  // what its exports must write

namespace testing_support {

// 0xRRGGBB of the picture's pixel (x, y), y counted from the top.
using ColourAt = std::function<uint32_t(int x, int y)>;

// A host frame (bottom-up rows of blue, green, red, padded to 4 bytes) with
// garbage in the padding, which the encoder must not read.
std::vector<uint8_t> MakeHostFrame(int width, int height, const ColourAt& colour_at);

// A pattern frame with many colours that moves with n.
std::vector<uint8_t> PatternFrame(int width, int height, int n);

class FakeHost final : public FrameSource {
 public:
  FakeHost(int width, int height, int frame_count, std::string path);

  int32_t rate = 30;
  int32_t scale = 1;
  AnimationSettings settings;  // what the export is run with
  // Frame n's pixels; by default a pattern that differs per frame.
  std::function<std::vector<uint8_t>(int n)> frame_source;
  int abort_at = -1;       // IsAborted says stop when asked before this frame
  int null_frame_at = -1;  // Pixels returns null for this frame

  // Runs the output pass with the fields above.
  ExportResult Export();
  // The same through the plug-in's export entry, which takes the settings
  // from the module's stored record instead: 1 or 0.
  int32_t ExportThroughEntry();
  OutputInfo Info();

  // "aborted? n", "progress n/N", "frame n", "refresh", in call order.
  std::vector<std::string> calls;
  int CountOf(const std::string& prefix) const;

  int width, height, frame_count;
  std::string path;

  bool IsAborted() override;
  void ReportProgress(int32_t n, int32_t total) override;
  const void* Pixels(int32_t n) override;
  void Refresh() override;

 private:
  static FakeHost* current_;
  std::vector<uint8_t> frame_;  // the pixels of the frame handed out last
  int asked_ = 0;               // frames asked about so far

  static void* LODRA_CDECL GetFrameCallback(int32_t n);
  static int32_t LODRA_CDECL IsAbortedCallback();
  static int32_t LODRA_CDECL ReportProgressCallback(int32_t current, int32_t total);
  static int32_t LODRA_CDECL HostRefreshCallback();
};

// The calls an export of `total` frames makes for its first `frames`: for
// each frame n, "aborted? n", "progress n/total", "frame n", "refresh".
std::vector<std::string> WantCalls(int frames, int total);

// Paths are UTF-8; on Windows files are opened by their UTF-16 names, which
// reach names the system code page cannot spell.
std::FILE* OpenUtf8(const std::string& path, const char* mode);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace testing_support

// Names in failure messages instead of numbers.
void PrintTo(ExportResult result, std::ostream* out);
