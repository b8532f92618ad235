// Failure drills: the export driven to and past its limits. Output paths it
// cannot write, a host that fails or stops at every point of an export, frame
// sizes and rates at the edges of what their fields hold. Every failure must
// release what the export acquired and tell the host what a failure tells
// it; every success must decode to what was asked for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "gif/output_pass.h"
#include "tests/support/gif_decode.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"

#ifndef _WIN32
#include "platform/standin/control.h"
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::DecodedGif;
using testing_support::DecodeGif;
using testing_support::ExpectedIndices;
using testing_support::FakeHost;
using testing_support::FileExists;
using testing_support::MakeHostFrame;
using testing_support::PatternFrame;
using testing_support::ReadFile;
using testing_support::TempPath;
using testing_support::WantCalls;
using Bytes = std::vector<uint8_t>;

using testing_support::kWantClosing;

// Objects the stand-in handed out and did not get back; the real system
// cannot be asked.
int Alive() {
#ifdef _WIN32
  return 0;
#else
  return standin::LiveTotal();
#endif
}

class Drills : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    standin::Reset();
#endif
    ASSERT_EQ(Alive(), 0);
  }
};

// `file` as giflib reads it; a file it cannot read fails the test.
DecodedGif DecodeFrames(const Bytes& file) {
  DecodedGif gif;
  std::string error;
  EXPECT_TRUE(DecodeGif(file, &gif, &error)) << error;
  return gif;
}

// Frame n of the export, quantised, as the decoded file must hold it.
::testing::AssertionResult FramesAre(const DecodedGif& gif, int frames, int width, int height, bool masked) {
  if (gif.frames.size() != static_cast<size_t>(frames))
    return ::testing::AssertionFailure() << "have " << gif.frames.size() << " frames, want " << frames;
  for (int n = 0; n < frames; ++n) {
    if (gif.frames[n].indices != ExpectedIndices(PatternFrame(width, height, n), width, height, masked))
      return ::testing::AssertionFailure() << "frame " << n << " has other indices than the quantiser's";
  }
  return ::testing::AssertionSuccess();
}

// ================================================= output that cannot be written
// Each of these fails for root too: permission bits do not stop root, so
// they get a drill of their own below, run where they bind.

TEST_F(Drills, OutputPathsThatCannotBeOpened) {
  const std::string plain_file = TempPath("plain_file");
  {
    std::FILE* file = std::fopen(plain_file.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("keep me", file);
    std::fclose(file);
  }
  const std::string folder = TempPath("folder");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  ASSERT_TRUE(fs::create_directory(folder));

  const struct {
    const char* what;
    std::string path;
  } cases[] = {
      {"the parent is a regular file", plain_file + "/out.gif"},
      {"a folder that does not exist", TempPath("no/such/folder/out.gif")},
      {"a folder", folder},
      {"an empty path", ""},
      {"a name longer than any file system takes", TempPath(std::string(5000, 'n') + ".gif")},
#ifdef __linux__
      {"a folder nobody may create files in", "/proc/lodra_drill.gif"},
#endif
  };
  for (const auto& c : cases) {
    for (int32_t use_mask : {0, 1}) {
      FakeHost host(4, 4, 3, c.path);
      host.settings.use_mask = use_mask != 0;
      EXPECT_EQ(host.Export(), ExportResult::kOpenFailed) << c.what << ", mask " << use_mask;
      EXPECT_TRUE(host.calls.empty()) << c.what << ": have " << host.calls.size() << " callbacks, want none";
      EXPECT_EQ(Alive(), 0) << c.what;
    }
  }
  EXPECT_EQ(ReadFile(plain_file), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'})) << "the regular file was touched";
  EXPECT_TRUE(fs::is_directory(folder)) << "the folder was touched";
  EXPECT_TRUE(fs::is_empty(folder)) << "something was made in the folder";
  std::remove(plain_file.c_str());
  fs::remove_all(folder, ignored);
}

// A read-only file and a read-only folder, where the permission bits bind
// (not for root on Linux).
TEST_F(Drills, ReadOnlyFileAndFolder) {
  const std::string file_path = TempPath("read_only.gif");
  const std::string folder = TempPath("read_only_folder");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  if (fs::exists(file_path)) fs::permissions(file_path, fs::perms::owner_write, fs::perm_options::add, ignored);
  {
    std::FILE* file = std::fopen(file_path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("old", file);
    std::fclose(file);
  }
  ASSERT_TRUE(fs::create_directory(folder));
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(file_path, write, fs::perm_options::remove);
  fs::permissions(folder, write, fs::perm_options::remove);

  // Whether this process may write there all the same.
  const std::string probe = folder + "/probe";
  std::FILE* file_probe = std::fopen(file_path.c_str(), "ab");
  std::FILE* folder_probe = std::fopen(probe.c_str(), "wb");
  const bool bits_bind = file_probe == nullptr && folder_probe == nullptr;
  if (file_probe != nullptr) std::fclose(file_probe);
  if (folder_probe != nullptr) std::fclose(folder_probe);
  std::remove(probe.c_str());

  if (bits_bind) {
    FakeHost to_file(4, 4, 2, file_path);
    EXPECT_EQ(to_file.Export(), ExportResult::kOpenFailed) << "read-only file";
    EXPECT_TRUE(to_file.calls.empty()) << "read-only file";
    EXPECT_EQ(ReadFile(file_path), (Bytes{'o', 'l', 'd'})) << "the read-only file was changed";

    FakeHost to_folder(4, 4, 2, folder + "/out.gif");
    EXPECT_EQ(to_folder.Export(), ExportResult::kOpenFailed) << "read-only folder";
    EXPECT_TRUE(to_folder.calls.empty()) << "read-only folder";
    EXPECT_FALSE(FileExists(to_folder.path)) << "a file was made in the read-only folder";
    EXPECT_EQ(Alive(), 0);
  }
  fs::permissions(file_path, write, fs::perm_options::add, ignored);
  fs::permissions(folder, write, fs::perm_options::add, ignored);
  std::remove(file_path.c_str());
  fs::remove_all(folder, ignored);
  if (!bits_bind) GTEST_SKIP() << "permission bits do not stop this user (root): nothing to drill";
}

// ================================================ the host fails or stops

// Frames 0..k-1 are written whichever way the export ends at frame k: a stop
// asked before it closes them off as a success; its null pixels fail the
// export, refresh the host once more and leave them unclosed, which is the
// stopped file less its closing 13 bytes.
TEST_F(Drills, NullFrameOrStopAtEveryPoint) {
  constexpr int kWidth = 10, kHeight = 6;
  const struct {
    int frames, abort_at, null_at;
    int32_t use_mask;
    ExportResult want_result;
    int want_frames;
  } cases[] = {
      {6, -1, 0, 0, ExportResult::kNoPixels, 0}, {6, -1, 1, 0, ExportResult::kNoPixels, 1},
      {6, -1, 2, 0, ExportResult::kNoPixels, 2}, {6, -1, 4, 0, ExportResult::kNoPixels, 4},
      {6, -1, 5, 0, ExportResult::kNoPixels, 5},  // the last frame
      {6, -1, 1, 1, ExportResult::kNoPixels, 1}, {6, -1, 3, 1, ExportResult::kNoPixels, 3},
      {6, -1, 5, 1, ExportResult::kNoPixels, 5},
      {6, -1, 6, 0, ExportResult::kWritten, 6}, {6, -1, 6, 1, ExportResult::kWritten, 6},  // never asked for
      {6, 0, -1, 0, ExportResult::kWritten, 0}, {6, 1, -1, 0, ExportResult::kWritten, 1},
      {6, 2, -1, 0, ExportResult::kWritten, 2}, {6, 5, -1, 0, ExportResult::kWritten, 5},
      {6, 6, -1, 0, ExportResult::kWritten, 6}, {6, 1, -1, 1, ExportResult::kWritten, 1},
      {6, 4, -1, 1, ExportResult::kWritten, 4},
      {6, 3, 3, 0, ExportResult::kWritten, 3},   // the stop is asked before the frame is fetched
      {6, 3, 2, 0, ExportResult::kNoPixels, 2},  // a failure before the stop is a failure
      {INT32_MAX, 3, -1, 0, ExportResult::kWritten, 3},  // nothing is sized by the frame count
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("stop at " + std::to_string(c.abort_at) + ", null at " + std::to_string(c.null_at) + " of " +
                 std::to_string(c.frames) + ", mask " + std::to_string(c.use_mask));
    const bool masked = c.use_mask != 0;
    const bool failed = c.want_result != ExportResult::kWritten;
    const int k = c.want_frames;
    FakeHost host(kWidth, kHeight, c.frames, TempPath("ends.gif"));
    host.settings.use_mask = masked;
    host.abort_at = c.abort_at;
    host.null_frame_at = c.null_at;
    EXPECT_EQ(host.Export(), c.want_result);
    EXPECT_EQ(Alive(), 0);
    std::vector<std::string> want_calls = WantCalls(k, c.frames);
    const std::string at = std::to_string(k);
    if (failed)
      want_calls.insert(want_calls.end(), {"aborted? " + at, "progress " + at + "/" + std::to_string(c.frames),
                                           "frame " + at, "refresh"});
    else if (k < c.frames)
      want_calls.push_back("aborted? " + at);
    EXPECT_EQ(host.calls, want_calls);

    Bytes file = ReadFile(host.path);
    if (failed) {
      FakeHost stopped(kWidth, kHeight, c.frames, TempPath("stopped.gif"));
      stopped.settings.use_mask = masked;
      stopped.abort_at = k;
      ASSERT_EQ(stopped.Export(), ExportResult::kWritten);
      const Bytes closed = ReadFile(stopped.path);
      ASSERT_GE(closed.size(), kWantClosing.size());
      EXPECT_TRUE(file == Bytes(closed.begin(), closed.end() - kWantClosing.size()))
          << "the failed file is not the stopped one less its closing";
      file = closed;
      std::remove(stopped.path.c_str());
    }
    std::remove(host.path.c_str());
    ASSERT_GE(file.size(), kWantClosing.size());
    EXPECT_TRUE(Bytes(file.end() - kWantClosing.size(), file.end()) == kWantClosing) << "not closed off";
    if (k == 0) {
      EXPECT_EQ(file, kWantClosing) << "no frames: the closing alone";
      continue;
    }
    const DecodedGif gif = DecodeFrames(file);
    EXPECT_EQ(gif.width, masked ? kWidth / 2 : kWidth);
    EXPECT_EQ(gif.comments, std::vector<std::string>{"UUUUUUUU"});
    EXPECT_TRUE(FramesAre(gif, k, kWidth, kHeight, masked));
  }
}

// ======================================================= frame sizes at the limits

// Mask frames whose halves tell apart a mask read from the right place from
// one read a column off: the mask is black on a checkerboard, and an odd
// width's last column, which neither half reads, is its opposite.
std::vector<uint8_t> MaskFrame(int width, int height) {
  const int half = width / 2;
  return MakeHostFrame(width, height, [half](int x, int y) -> uint32_t {
    if (x < half) return 0x103050u + static_cast<uint32_t>((x * 40 + y * 70) % 200) * 0x010101u;
    if (x < 2 * half) return (x - half + y) % 2 == 0 ? 0u : 0x204060u;
    return (x + y) % 2 == 1 ? 0u : 0x402010u;
  });
}

TEST_F(Drills, FrameSizesAtTheLimits) {
  const struct {
    const char* what;
    int width, height;
    int32_t use_mask;
    int want_width, want_height;
  } cases[] = {
      {"1 x 1", 1, 1, 0, 1, 1},
      {"65535 wide, 1 high", 65535, 1, 0, 65535, 1},
      {"1 wide, 65535 high", 1, 65535, 0, 1, 65535},
      {"mask, 2 wide", 2, 3, 1, 1, 3},
      {"mask, 3 wide: the last column is nobody's", 3, 3, 1, 1, 3},
      {"mask, 5 wide", 5, 2, 1, 2, 2},
      {"mask, 7 wide", 7, 4, 1, 3, 4},
      {"mask, 131070 wide: 65535 out", 131070, 1, 1, 65535, 1},
      {"mask, 131071 wide: 65535 out", 131071, 1, 1, 65535, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host(c.width, c.height, 2, TempPath("limits.gif"));
    host.settings.use_mask = c.use_mask != 0;
    const bool masked = c.use_mask != 0;
    if (masked) host.frame_source = [&c](int) { return MaskFrame(c.width, c.height); };
    ASSERT_EQ(host.Export(), ExportResult::kWritten);
    EXPECT_EQ(Alive(), 0);
    const DecodedGif gif = DecodeFrames(ReadFile(host.path));
    EXPECT_EQ(gif.width, c.want_width);
    EXPECT_EQ(gif.height, c.want_height);
    ASSERT_EQ(gif.frames.size(), 2u);
    for (int n = 0; n < 2; ++n) {
      const Bytes frame = masked ? MaskFrame(c.width, c.height) : PatternFrame(c.width, c.height, n);
      EXPECT_EQ(gif.frames[n].width, c.want_width) << "frame " << n;
      EXPECT_EQ(gif.frames[n].height, c.want_height) << "frame " << n;
      EXPECT_TRUE(gif.frames[n].indices == ExpectedIndices(frame, c.width, c.height, masked))
          << "frame " << n << " has other indices than the quantiser's";
    }
    std::remove(host.path.c_str());
  }
}

// Sizes the GIF cannot hold, or no size at all: the first frame fails before
// anything is acquired or any pixel is read (the host hands over 16 bytes).
TEST_F(Drills, FrameSizesBeyondTheLimits) {
  struct Case {
    const char* what;
    int width, height;
    int32_t use_mask;
  };
  const Case cases[] = {
      {"width 0", 0, 4, 0},
      {"height 0", 4, 0, 0},
      {"negative width", -4, 4, 0},
      {"65536 wide", 65536, 1, 0},
      {"mask, 131072 wide: 65536 out", 131072, 1, 1},
      {"65536 high", 1, 65536, 0},
      {"negative height", 4, -1, 0},
      {"height INT32_MIN", 4, INT32_MIN, 0},
      {"height INT32_MAX", 4, INT32_MAX, 0},
      {"width INT32_MIN", INT32_MIN, 4, 0},
      {"width INT32_MAX", INT32_MAX, 4, 0},
      {"mask, width 0", 0, 4, 1},
      {"mask, width -1", -1, 4, 1},
      {"mask, width 1", 1, 4, 1},
      {"mask, width -2", -2, 4, 1},
      {"mask, width INT32_MAX", INT32_MAX, 4, 1},
      {"mask, width INT32_MIN", INT32_MIN, 4, 1},
      // Sizes a GIF holds but whose host frame (3 bytes a pixel) is more
      // than a 32-bit process can address, on every system: just past
      // 2 GiB, and past 4 GiB, where a 32-bit byte count would wrap.
      {"10923 x 65535 host bytes just past 2 GiB", 10923, 65535, 0},
      {"65535 x 32767 host bytes past 4 GiB", 65535, 32767, 0},
      {"32768 x 65535 host bytes past 4 GiB", 32768, 65535, 0},
      {"mask, 131070 x 16383 host bytes past 4 GiB", 131070, 16383, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host(c.width, c.height, 3, TempPath("beyond.gif"));
    host.settings.use_mask = c.use_mask != 0;
    host.frame_source = [](int) { return Bytes(16, 0x77); };
#ifndef _WIN32
    standin::Reset();
#endif
    EXPECT_EQ(host.Export(), ExportResult::kSizeRefused);
#ifndef _WIN32
    EXPECT_EQ(standin::AcquisitionCount(), 0) << "acquired something for a size it cannot encode";
#endif
    EXPECT_EQ(Alive(), 0);
    EXPECT_EQ(host.CountOf("frame "), 1);
    EXPECT_EQ(host.CountOf("refresh"), 1);
    EXPECT_TRUE(ReadFile(host.path).empty());
    std::remove(host.path.c_str());
  }
}

// ========================================================= rates at the limits

// Exports at rates the reduction brings into 16 bits, at its limits and
// past them. Delays worked out by hand from the documented reduction.
TEST_F(Drills, RatesAtTheLimitsOfTheReduction) {
  const struct {
    int32_t rate, scale;
    std::vector<int> want_delays;
  } cases[] = {
      {INT32_MAX, 1, {0, 0, 0}},                // 21475/1: a frame lasts 1/215 of a hundredth
      {1, INT32_MAX, {65535, 65535, 65535}},    // no reduction; clamped
      {30, INT32_MAX, {65535, 65535, 65535}},
      {INT32_MAX, INT32_MAX, {100, 100, 100}},  // 21475/21475
      {INT32_MAX, 1000000000, {46, 47, 46}},    // 21475/10000: 46.57 a frame
      {2147480000, 2147480000, {100, 100, 100}},  // by 10000 exactly, then a digit at a time
      // Rounding up adds 9 before dividing: past 2147483638 that sum leaves
      // 32 bits. 214748364/214748365, ..., 21475/21475.
      {2147483639, INT32_MAX, {100, 100, 100}},
      {65535, 1, {0, 0, 0}},                    // the largest rate taken as it is
      {65536, 65536, {100, 100, 100}},          // the smallest one reduced: 6554/6554
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + "/" + std::to_string(c.scale));
    FakeHost host(3, 2, 3, TempPath("rate.gif"));
    host.rate = c.rate;
    host.scale = c.scale;
    ASSERT_EQ(host.Export(), ExportResult::kWritten);
    const DecodedGif gif = DecodeFrames(ReadFile(host.path));
    ASSERT_EQ(gif.frames.size(), c.want_delays.size());
    for (size_t n = 0; n < c.want_delays.size(); ++n)
      EXPECT_EQ(gif.frames[n].delay, c.want_delays[n])
          << "frame " << n << ": have " << gif.frames[n].delay << ", want " << c.want_delays[n];
    std::remove(host.path.c_str());
  }
}

}  // namespace
