#include "gif/output_pass.h"

#include <gtest/gtest.h>

#include <cstdio>
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

// The host's view of the first `frames` frames of an export of `total`.
std::vector<std::string> WantCalls(int frames, int total) {
  std::vector<std::string> calls;
  for (int n = 0; n < frames; ++n) {
    calls.push_back("aborted? " + std::to_string(n));
    calls.push_back("progress " + std::to_string(n) + "/" + std::to_string(total));
    calls.push_back("frame " + std::to_string(n));
    calls.push_back("refresh");
  }
  return calls;
}

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
      EXPECT_FALSE(frame.has_local_table) << "frame " << n;
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

TEST_F(OutputPass, LoopCountBytes) {
  const LoopCase cases[] = {{0, 0x00, 0x00},     {65535, 0xFF, 0xFF}, {1000, 0xE8, 0x03},
                            {100000, 0xFF, 0xFF}, {-1, 0x00, 0x00},    {65536, 0xFF, 0xFF}};
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

TEST_F(OutputPass, MaskedExportIsHalfAsWide) {
  FakeHost host(640, 2, 1, TempPath("mask.gif"));
  host.settings.use_mask = true;
  ASSERT_EQ(host.Export(), ExportResult::kWritten);
  const Bytes file = ReadFile(host.path);
  ASSERT_GT(file.size(), 10u);
  EXPECT_EQ(file[6] | file[7] << 8, 320);
  std::remove(host.path.c_str());
}

TEST_F(OutputPass, LongDelaysAreClampedNotWrapped) {
  FakeHost host(2, 2, 2, TempPath("slow.gif"));
  host.rate = 1;
  host.scale = 1000;  // 100 000 hundredths a frame
  ASSERT_EQ(host.Export(), ExportResult::kWritten);
  const DecodedGif gif = Decode(host.path);
  ASSERT_EQ(gif.frames.size(), 2u);
  EXPECT_EQ(gif.frames[0].delay, 65535);
  EXPECT_EQ(gif.frames[1].delay, 65535);
  std::remove(host.path.c_str());
}

// --------------------------------------------------------- nothing to write

TEST_F(OutputPass, NoFramesOrAnEarlyStopLeaveOnlyTheClosing) {
  struct Case {
    const char* what;
    int frames;
    int abort_at;
    std::vector<std::string> want_calls;
  } const cases[] = {
      {"zero frames", 0, -1, {}},
      {"negative frames", -5, -1, {}},
      {"stopped before the first frame", 3, 0, {"aborted? 0"}},
  };
  for (const Case& c : cases) {
    FakeHost host(8, 8, c.frames, TempPath("empty.gif"));
    host.abort_at = c.abort_at;
    EXPECT_EQ(host.Export(), ExportResult::kWritten) << c.what;
    EXPECT_EQ(ReadFile(host.path), kWantClosing) << c.what;
    EXPECT_EQ(host.calls, c.want_calls) << c.what;
    std::remove(host.path.c_str());
  }
}

TEST_F(OutputPass, StopMidwayClosesTheFramesSoFar) {
  FakeHost host(6, 4, 10, TempPath("stopped.gif"));
  host.abort_at = 3;
  ASSERT_EQ(host.Export(), ExportResult::kWritten);
  std::vector<std::string> want = WantCalls(3, 10);
  want.push_back("aborted? 3");
  EXPECT_EQ(host.calls, want);
  const DecodedGif gif = Decode(host.path);
  EXPECT_EQ(gif.frames.size(), 3u);
  EXPECT_EQ(gif.comments, std::vector<std::string>{"UUUUUUUU"});
  std::remove(host.path.c_str());
}

// ----------------------------------------------------------------- failures

TEST_F(OutputPass, FailureAtFrameFiveKeepsFramesZeroToFour) {
  FakeHost host(6, 4, 10, TempPath("failed.gif"));
  host.null_frame_at = 5;
  EXPECT_EQ(host.Export(), ExportResult::kNoPixels);
  std::vector<std::string> want = WantCalls(5, 10);
  want.insert(want.end(), {"aborted? 5", "progress 5/10", "frame 5", "refresh"});
  EXPECT_EQ(host.calls, want);
  EXPECT_EQ(host.CountOf("refresh"), 6);

  // The same five frames, closed off, are what a stop at frame 5 writes: the
  // failed file is that file without its closing 13 bytes.
  FakeHost stopped(6, 4, 10, TempPath("stopped.gif"));
  stopped.abort_at = 5;
  ASSERT_EQ(stopped.Export(), ExportResult::kWritten);
  Bytes want_file = ReadFile(stopped.path);
  ASSERT_GT(want_file.size(), kWantClosing.size());
  want_file.resize(want_file.size() - kWantClosing.size());
  EXPECT_EQ(ReadFile(host.path), want_file);
  std::remove(host.path.c_str());
  std::remove(stopped.path.c_str());
}

TEST_F(OutputPass, FailureAtTheFirstFrameWritesNothing) {
  FakeHost host(6, 4, 3, TempPath("first.gif"));
  host.null_frame_at = 0;
  EXPECT_EQ(host.Export(), ExportResult::kNoPixels);
  EXPECT_TRUE(ReadFile(host.path).empty());
  EXPECT_EQ(host.CountOf("refresh"), 1);
  std::remove(host.path.c_str());
}

TEST_F(OutputPass, FramesTheEncoderRefusesFailTheExport) {
  const struct {
    const char* what;
    int width, height;
    int32_t use_mask;
  } cases[] = {{"width 0", 0, 4, 0}, {"height 0", 4, 0, 0}, {"negative width", -4, 4, 0},
               {"masked width 1", 1, 4, 1}, {"width 65536", 65536, 1, 0}};
  for (const auto& c : cases) {
    FakeHost host(c.width, c.height, 2, TempPath("refused.gif"));
    host.settings.use_mask = c.use_mask != 0;
    host.frame_source = [](int) { return Bytes(64, 0); };
    EXPECT_EQ(host.Export(), ExportResult::kSizeRefused) << c.what;
    EXPECT_EQ(host.CountOf("refresh"), 1) << c.what;
    EXPECT_TRUE(ReadFile(host.path).empty()) << c.what;
    std::remove(host.path.c_str());
  }
}

TEST_F(OutputPass, RefusedBeforeTheFileIsOpened) {
  const struct {
    const char* what;
    int32_t rate, scale;
    bool null_path;
  } cases[] = {{"rate 0", 0, 1, false},  {"negative rate", -30, 1, false}, {"scale 0", 30, 0, false},
               {"negative scale", 30, -1, false}, {"no path", 30, 1, true}};
  for (const auto& c : cases) {
    FakeHost host(4, 4, 3, TempPath("refused.gif"));
    std::remove(host.path.c_str());
    host.rate = c.rate;
    host.scale = c.scale;
    if (c.null_path) {
      OutputInfo info = host.Info();
      info.save_file = nullptr;
      EXPECT_EQ(OutputAnimatedGif(&info), 0) << c.what;
    } else {
      EXPECT_EQ(host.Export(), ExportResult::kRefused) << c.what;
      EXPECT_EQ(host.ExportThroughEntry(), 0) << c.what;
    }
    EXPECT_TRUE(host.calls.empty()) << c.what;
    EXPECT_FALSE(FileExists(host.path)) << c.what;
  }
  EXPECT_EQ(OutputAnimatedGif(nullptr), 0);
}

TEST_F(OutputPass, UnwritablePathFailsWithoutCallbacks) {
  FakeHost host(4, 4, 3, TempPath("no/such/folder/out.gif"));
  EXPECT_EQ(host.Export(), ExportResult::kOpenFailed);
  EXPECT_TRUE(host.calls.empty());
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
