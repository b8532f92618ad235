// The output pass on a host of our own: whole exports decoded with giflib,
// the bytes around the frames, exports with nothing to write, refusals and a
// full disk. Stops and failures at every frame, sizes and rates at their
// limits and paths that cannot be opened are drilled in drills_test.cpp.
#include "gif/output_pass.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "plugin/module_entries.h"
#include "tests/support/gif_decode.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"

namespace {

using testing_support::DecodedGif;
using testing_support::DecodeGif;
using testing_support::ExpectedIndices;
using testing_support::FakeHost;
using testing_support::FileExists;
using testing_support::PatternFrame;
using testing_support::ReadFile;
using testing_support::TempPath;
using testing_support::WantCalls;
using Bytes = std::vector<uint8_t>;

using testing_support::kWantClosing;

class OutputPass : public ::testing::Test {
 protected:
  static DecodedGif Decode(const std::string& path) {
    DecodedGif gif;
    std::string error;
    EXPECT_TRUE(DecodeGif(ReadFile(path), &gif, &error)) << path << ": " << error;
    return gif;
  }
};

// ------------------------------------------------------------ whole exports

TEST_F(OutputPass, WholeExportDecodesToTheQuantisersIndices) {
  struct Case {
    const char* what;
    int width, height, frames;
    int32_t rate, scale;
    int32_t loop_count, use_mask;
    std::vector<int> want_delays;
    int want_loop;
  } const cases[] = {
      {"plain 30 fps", 16, 9, 5, 30, 1, 0, 0, {3, 3, 4, 3, 3}, 0},
      {"NTSC rate, loop 1000", 7, 5, 4, 30000, 1001, 1000, 0, {3, 3, 4, 3}, 1000},
      {"masked, odd width", 13, 6, 3, 25, 1, 1, 1, {4, 4, 4}, 1},
      {"loop 65535, mask flag 5", 10, 2, 2, 10, 1, 65535, 5, {10, 10}, 65535},
      {"one frame at 30/1", 4, 4, 1, 30, 1, 0, 0, {3}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host(c.width, c.height, c.frames, TempPath("out.gif"));
    host.settings = {c.loop_count, c.use_mask != 0};
    host.rate = c.rate;
    host.scale = c.scale;
    ASSERT_EQ(host.Export(), ExportResult::kWritten);
    EXPECT_EQ(host.calls, WantCalls(c.frames, c.frames));

    const DecodedGif gif = Decode(host.path);
    const bool masked = c.use_mask != 0;
    EXPECT_EQ(gif.version, "GIF89a");
    EXPECT_EQ(gif.width, masked ? c.width / 2 : c.width);
    EXPECT_EQ(gif.height, c.height);
    ASSERT_EQ(gif.global_table.size(), 256u);
    EXPECT_EQ(gif.global_table[220], 0xFF0000u);
    EXPECT_EQ(gif.loop_count, c.want_loop);
    EXPECT_EQ(gif.comments, std::vector<std::string>{"UUUUUUUU"});
    ASSERT_EQ(gif.frames.size(), static_cast<size_t>(c.frames));
    for (int n = 0; n < c.frames; ++n) {
      const auto& frame = gif.frames[n];
      EXPECT_EQ(frame.delay, c.want_delays[n]) << "frame " << n;
      EXPECT_EQ(frame.disposal, 2) << "frame " << n;
      EXPECT_EQ(frame.transparent_index, 0) << "frame " << n;
      EXPECT_TRUE(frame.local_table.empty()) << "frame " << n;
      EXPECT_EQ(frame.indices, ExpectedIndices(PatternFrame(c.width, c.height, n), c.width, c.height, masked))
          << "frame " << n;
    }
    std::remove(host.path.c_str());
  }
}

TEST_F(OutputPass, FileLayoutAroundTheFrames) {
  FakeHost host(4, 4, 1, TempPath("one.gif"));
  host.settings.loop_count = 1000;
  ASSERT_EQ(host.Export(), ExportResult::kWritten);
  const Bytes file = ReadFile(host.path);
  ASSERT_GT(file.size(), 781u + 19 + 8 + 13);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), (Bytes{'G', 'I', 'F', '8', '9', 'a'}));
  EXPECT_EQ(file[10] & 0x87, 0x87) << "a 256-entry global table";
  const Bytes looping = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0',
                         0x03, 0x01, 0xE8, 0x03, 0x00};
  EXPECT_EQ(Bytes(file.begin() + 781, file.begin() + 800), looping);
  const Bytes control = {0x21, 0xF9, 0x04, 0x09, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(file.begin() + 800, file.begin() + 808), control);
  EXPECT_EQ(file[808], 0x2C) << "the image descriptor follows";
  EXPECT_EQ(Bytes(file.end() - 13, file.end()), kWantClosing);
  std::remove(host.path.c_str());
}

struct LoopCase {
  int32_t loop_count;
  uint8_t want_low, want_high;
};

// The stored count reaches the file through LoopCountField, whose clamp
// export_limits_test checks on its own (1000 is in FileLayoutAroundTheFrames).
TEST_F(OutputPass, LoopCountBytes) {
  const LoopCase cases[] = {{65535, 0xFF, 0xFF}, {65536, 0xFF, 0xFF}, {-1, 0x00, 0x00}};
  for (const LoopCase& c : cases) {
    FakeHost host(2, 2, 1, TempPath("loop.gif"));
    host.settings.loop_count = c.loop_count;
    ASSERT_EQ(host.Export(), ExportResult::kWritten);
    const Bytes file = ReadFile(host.path);
    ASSERT_GT(file.size(), 800u);
    EXPECT_EQ(file[797], c.want_low) << "loop " << c.loop_count;
    EXPECT_EQ(file[798], c.want_high) << "loop " << c.loop_count;
    std::remove(host.path.c_str());
  }
}

// --------------------------------------------------------- nothing to write

TEST_F(OutputPass, NoFramesLeaveOnlyTheClosing) {
  for (int frames : {0, -5}) {
    FakeHost host(8, 8, frames, TempPath("empty.gif"));
    EXPECT_EQ(host.Export(), ExportResult::kWritten) << frames << " frames";
    EXPECT_EQ(ReadFile(host.path), kWantClosing) << frames << " frames";
    EXPECT_TRUE(host.calls.empty()) << frames << " frames";
    std::remove(host.path.c_str());
  }
}

// ------------------------------------------------------- refused or failed

// Rates that are no rates, and no path: nothing is opened or called, and
// the plug-in's entry says 0.
TEST_F(OutputPass, RefusedBeforeTheFileIsOpened) {
  const struct {
    int32_t rate, scale;
    bool null_path;
  } cases[] = {{0, 1, false},         {-30, 1, false},        {30, 0, false},        {30, -1, false},
               {0, 0, false},         {-1, -1, false},        {INT32_MIN, 1, false}, {1, INT32_MIN, false},
               {INT32_MIN, INT32_MIN, false}, {INT32_MAX, 0, false}, {0, INT32_MAX, false},
               {INT32_MAX, -1, false}, {30, 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + "/" + std::to_string(c.scale) + (c.null_path ? ", no path" : ""));
    FakeHost host(4, 4, 3, TempPath("refused.gif"));
    std::remove(host.path.c_str());
    host.rate = c.rate;
    host.scale = c.scale;
    if (c.null_path) {
      OutputInfo info = host.Info();
      info.save_file = nullptr;
      EXPECT_EQ(OutputAnimatedGif(&info), 0);
    } else {
      EXPECT_EQ(host.Export(), ExportResult::kRefused);
      EXPECT_EQ(host.ExportThroughEntry(), 0);
    }
    EXPECT_TRUE(host.calls.empty());
    EXPECT_FALSE(FileExists(host.path));
  }
  EXPECT_EQ(OutputAnimatedGif(nullptr), 0);
}

// Whatever is thrown inside an export (here by a host's callback) ends it at
// the plug-in's entry as a failure, with the file closed, and never reaches
// the host.
TEST_F(OutputPass, AThrowEndsTheExportAtTheEntry) {
  FakeHost host(4, 4, 3, TempPath("thrown.gif"));
  host.frame_source = [](int n) -> Bytes {
    if (n == 1) throw std::bad_alloc();
    return PatternFrame(4, 4, n);
  };
  EXPECT_EQ(host.ExportThroughEntry(), 0);
  EXPECT_EQ(host.CountOf("frame "), 2);
  EXPECT_FALSE(ReadFile(host.path).empty()) << "the first frame stays written";
  EXPECT_EQ(std::remove(host.path.c_str()), 0) << "the file was left open";
}

#ifndef _WIN32
// A full disk: every write fails. The export says so instead of success.
TEST_F(OutputPass, FullDiskIsAFailure) {
  const struct {
    const char* what;
    int frames;
  } cases[] = {{"frames", 3}, {"only the closing", 0}};
  for (const auto& c : cases) {
    FakeHost host(64, 64, c.frames, "/dev/full");
    EXPECT_EQ(host.Export(), ExportResult::kWriteFailed) << c.what;
    // Buffered writes fail late; whenever it shows, the host is told once more.
    ASSERT_FALSE(host.calls.empty()) << c.what;
    EXPECT_EQ(host.calls.back(), "refresh") << c.what;
  }
}
#endif

}  // namespace
