// Failure drills: the export driven to and past its limits. Output paths it
// cannot write, a host that fails or stops at every point of an export, frame
// sizes and rates at the edges of what their fields hold, and frame timing
// past where 32-bit sums wrap. Every failure must release what the export
// acquired and tell the host what a failure tells it; every success must
// decode to what was asked for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "gif/frame_timing.h"
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
using Bytes = std::vector<uint8_t>;

using testing_support::kWantClosing;

// 1 for a written file, 0 for any failure: what the drills' tables say.
int32_t Result(ExportResult result) { return result == ExportResult::kWritten ? 1 : 0; }

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

// The frames of `file` as giflib reads them, with the closing appended when
// the export ended in a failure (which leaves the file unclosed).
DecodedGif DecodeFrames(Bytes file, bool append_closing) {
  if (append_closing) file.insert(file.end(), kWantClosing.begin(), kWantClosing.end());
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
      EXPECT_EQ(Result(host.Export()), 0) << c.what << ", mask " << use_mask;
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
    EXPECT_EQ(Result(to_file.Export()), 0) << "read-only file";
    EXPECT_TRUE(to_file.calls.empty()) << "read-only file";
    EXPECT_EQ(ReadFile(file_path), (Bytes{'o', 'l', 'd'})) << "the read-only file was changed";

    FakeHost to_folder(4, 4, 2, folder + "/out.gif");
    EXPECT_EQ(Result(to_folder.Export()), 0) << "read-only folder";
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

// A null frame at k: frames 0..k-1 stay in the file, unclosed; the host is
// refreshed after each of them and once more for the failure.
TEST_F(Drills, NullFrameAtEveryPoint) {
  constexpr int kFrames = 6;
  const struct {
    int null_at;
    int32_t use_mask;
    int32_t want_result;
    int want_frames;
  } cases[] = {
      {1, 0, 0, 1}, {2, 0, 0, 2}, {4, 0, 0, 4}, {5, 0, 0, 5},     // 5: the last frame
      {1, 1, 0, 1}, {3, 1, 0, 3}, {5, 1, 0, 5},
      {6, 0, 1, 6}, {6, 1, 1, 6},                                  // past the end: never asked for
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("null frame at " + std::to_string(c.null_at) + ", mask " + std::to_string(c.use_mask));
    FakeHost host(10, 6, kFrames, TempPath("null.gif"));
    host.settings.use_mask = c.use_mask != 0;
    host.null_frame_at = c.null_at;
    EXPECT_EQ(Result(host.Export()), c.want_result);
    const bool failed = c.want_result == 0;
    EXPECT_EQ(host.CountOf("refresh"), c.want_frames + (failed ? 1 : 0));
    EXPECT_EQ(host.CountOf("frame "), c.want_frames + (failed ? 1 : 0));
    if (failed) {
      EXPECT_EQ(host.calls.back(), "refresh");
    }
    EXPECT_EQ(Alive(), 0);

    const Bytes file = ReadFile(host.path);
    ASSERT_GE(file.size(), kWantClosing.size());
    const bool closed = Bytes(file.end() - kWantClosing.size(), file.end()) == kWantClosing;
    EXPECT_EQ(closed, !failed) << "have closed " << closed << ", want " << !failed;
    const int width = c.use_mask != 0 ? 5 : 10;
    const DecodedGif gif = DecodeFrames(file, failed);
    EXPECT_EQ(gif.width, width);
    EXPECT_TRUE(FramesAre(gif, c.want_frames, 10, 6, c.use_mask != 0));
    std::remove(host.path.c_str());
  }
}

// A stop before frame k keeps frames 0..k-1, closed off, as a success.
TEST_F(Drills, StopAtEveryPoint) {
  const struct {
    int frames;
    int abort_at, null_at;
    int32_t use_mask;
    int32_t want_result;
    int want_frames;
  } cases[] = {
      {6, 1, -1, 0, 1, 1}, {6, 2, -1, 0, 1, 2}, {6, 5, -1, 0, 1, 5}, {6, 6, -1, 0, 1, 6},
      {6, 1, -1, 1, 1, 1}, {6, 4, -1, 1, 1, 4},
      {6, 3, 3, 0, 1, 3},                    // the stop is asked before the frame is fetched
      {6, 3, 2, 0, 0, 2},                    // a failure before the stop is a failure
      {INT32_MAX, 3, -1, 0, 1, 3},           // nothing is sized by the frame count
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("stop at " + std::to_string(c.abort_at) + " of " + std::to_string(c.frames) + ", null at " +
                 std::to_string(c.null_at) + ", mask " + std::to_string(c.use_mask));
    FakeHost host(7, 5, c.frames, TempPath("stop.gif"));
    host.settings.use_mask = c.use_mask != 0;
    host.abort_at = c.abort_at;
    host.null_frame_at = c.null_at;
    EXPECT_EQ(Result(host.Export()), c.want_result);
    EXPECT_EQ(Alive(), 0);
    const bool failed = c.want_result == 0;
    EXPECT_EQ(host.CountOf("refresh"), c.want_frames + (failed ? 1 : 0));
    if (!failed && c.abort_at < c.frames) {
      EXPECT_EQ(host.calls.back(), "aborted? " + std::to_string(c.abort_at)) << "nothing after the stop";
      EXPECT_EQ(host.CountOf("progress 0/" + std::to_string(c.frames)), 1) << "progress counts the whole export";
    }
    const DecodedGif gif = DecodeFrames(ReadFile(host.path), failed);
    EXPECT_EQ(gif.comments, std::vector<std::string>{"UUUUUUUU"});
    EXPECT_TRUE(FramesAre(gif, c.want_frames, 7, 5, c.use_mask != 0));
    std::remove(host.path.c_str());
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
    ASSERT_EQ(Result(host.Export()), 1);
    EXPECT_EQ(Alive(), 0);
    const DecodedGif gif = DecodeFrames(ReadFile(host.path), false);
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
  std::vector<Case> cases = {
      {"mask, 131072 wide: 65536 out", 131072, 1, 1},
      {"65536 high", 1, 65536, 0},
      {"negative height", 4, -1, 0},
      {"height INT32_MIN", 4, INT32_MIN, 0},
      {"height INT32_MAX", 4, INT32_MAX, 0},
      {"width INT32_MIN", INT32_MIN, 4, 0},
      {"width INT32_MAX", INT32_MAX, 4, 0},
      {"mask, width 0", 0, 4, 1},
      {"mask, width -1", -1, 4, 1},
      {"mask, width -2", -2, 4, 1},
      {"mask, width INT32_MAX", INT32_MAX, 4, 1},
      {"mask, width INT32_MIN", INT32_MIN, 4, 1},
  };
  // Sizes a GIF holds but whose host frame (3 bytes a pixel) is more than a
  // 32-bit process can address: there the byte count must not wrap.
  if (sizeof(size_t) == 4) {
    cases.push_back({"65535 x 32767 host bytes past 4 GiB", 65535, 32767, 0});
    cases.push_back({"32768 x 65535 host bytes past 4 GiB", 32768, 65535, 0});
    cases.push_back({"mask, 131070 x 16383 host bytes past 4 GiB", 131070, 16383, 1});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host(c.width, c.height, 3, TempPath("beyond.gif"));
    host.settings.use_mask = c.use_mask != 0;
    host.frame_source = [](int) { return Bytes(16, 0x77); };
#ifndef _WIN32
    standin::Reset();
#endif
    EXPECT_EQ(Result(host.Export()), 0);
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
    ASSERT_EQ(Result(host.Export()), 1);
    const DecodedGif gif = DecodeFrames(ReadFile(host.path), false);
    ASSERT_EQ(gif.frames.size(), c.want_delays.size());
    for (size_t n = 0; n < c.want_delays.size(); ++n)
      EXPECT_EQ(gif.frames[n].delay, c.want_delays[n])
          << "frame " << n << ": have " << gif.frames[n].delay << ", want " << c.want_delays[n];
    std::remove(host.path.c_str());
  }
}

TEST_F(Drills, RatesThatAreNoRatesAreRefusedUpFront) {
  const int32_t cases[][2] = {{0, 0},         {-1, -1},        {INT32_MIN, 1},        {1, INT32_MIN},
                              {INT32_MIN, INT32_MIN}, {INT32_MAX, 0}, {0, INT32_MAX}, {INT32_MAX, -1}};
  for (const auto& c : cases) {
    FakeHost host(4, 4, 3, TempPath("norate.gif"));
    std::remove(host.path.c_str());
    host.rate = c[0];
    host.scale = c[1];
    EXPECT_EQ(Result(host.Export()), 0) << c[0] << "/" << c[1];
    EXPECT_TRUE(host.calls.empty()) << c[0] << "/" << c[1];
    EXPECT_FALSE(FileExists(host.path)) << c[0] << "/" << c[1];
  }
}

// ============================================== timing past 32 bits
// The host's files keep 32-bit frame numbers and its own sums of
// (n + 1) * scale * 100 wrapped after minutes. The delays here are checked
// against exact long arithmetic: a quotient of up to 96 bits in 32-bit limbs.

struct Wide {
  uint64_t high;  // bits 64..95
  uint64_t low;
};

// floor(a * b / d) for a < 2^32, b < 2^40, 0 < d < 2^32, exactly.
Wide MulDiv(uint64_t a, uint64_t b, uint64_t d) {
  const uint64_t p0 = a * (b & 0xFFFFFFFFu);  // < 2^64
  const uint64_t p1 = a * (b >> 32) + (p0 >> 32);  // < 2^41
  const uint64_t limbs[3] = {p1 >> 32, p1 & 0xFFFFFFFFu, p0 & 0xFFFFFFFFu};
  uint64_t quotient[3];
  uint64_t remainder = 0;
  for (int i = 0; i < 3; ++i) {
    const uint64_t current = remainder << 32 | limbs[i];  // remainder < d < 2^32
    quotient[i] = current / d;
    remainder = current % d;
  }
  return {quotient[0], quotient[1] << 32 | quotient[2]};
}

// End time of frame n, exact: (n + 1) * scale * 100 / rate.
Wide ExactEnd(const FrameTiming& timing, int64_t n) {
  return MulDiv(static_cast<uint64_t>(n + 1), static_cast<uint64_t>(timing.scale) * 100,
                static_cast<uint64_t>(timing.rate));
}

int ExactDelay(const FrameTiming& timing, int64_t n) {
  const Wide end = ExactEnd(timing, n);
  const Wide start = n == 0 ? Wide{0, 0} : ExactEnd(timing, n - 1);
  const uint64_t borrow = end.low < start.low ? 1 : 0;
  const uint64_t high = end.high - start.high - borrow;
  const uint64_t low = end.low - start.low;
  if (high != 0 || low > 65535) return 65535;
  return static_cast<int>(low);
}

TEST(DrillsTiming, DelaysStayExactPastThirtyTwoBits) {
  const struct {
    int32_t rate, scale;
  } cases[] = {{30000, 1001}, {24000, 1001}, {60000, 1001}, {25, 1},  {30, 1}, {1, 1},
               {70000, 1000}, {INT32_MAX, INT32_MAX},        {65535, 1}, {1, 655}, {1, INT32_MAX}, {7, 3}};
  for (const auto& c : cases) {
    FrameTiming timing{};
    ASSERT_TRUE(ReduceFrameRate(c.rate, c.scale, &timing));
    const int64_t per_frame = timing.scale * 100;
    // The first frame whose end time a 32-bit product cannot hold, eight
    // hours of frames, and the last frame number a 32-bit host can ask for.
    const int64_t wraps = INT32_MAX / per_frame;
    const int64_t eight_hours = 8LL * 3600 * c.rate / c.scale;
    const int64_t frames[] = {wraps - 1, wraps, wraps + 1, eight_hours - 1, eight_hours,
                              INT32_MAX / 2, INT32_MAX - 2LL, INT32_MAX - 1LL};
    for (int64_t n : frames) {
      if (n < 0 || n > INT32_MAX - 1LL) continue;
      const int have = FrameDelay(timing, n);
      const int want = ExactDelay(timing, n);
      EXPECT_EQ(have, want) << c.rate << "/" << c.scale << " frame " << n << ": have " << have << ", want "
                            << want;
      const Wide end = ExactEnd(timing, n);
      if (end.high == 0 && end.low <= static_cast<uint64_t>(INT64_MAX)) {
        EXPECT_EQ(FrameEndTime(timing, n), static_cast<int64_t>(end.low))
            << c.rate << "/" << c.scale << " end of frame " << n;
      }
    }
  }
}

// The reference itself, on products that need every limb.
TEST(DrillsTiming, ExactArithmeticIsExact) {
  const struct {
    uint64_t a, b, d;
    Wide want;
  } cases[] = {
      {0, 12345, 7, {0, 0}},
      {10, 10, 3, {0, 33}},
      {0xFFFFFFFFu, 0xFFFFFFFFFFu, 1, {0xFF, 0xFFFFFEFF00000001u}},  // (2^32-1)(2^40-1)
      {0xFFFFFFFFu, 0xFFFFFFFFFFu, 0xFFFFFFFFu, {0, 0xFFFFFFFFFFu}},
      {1u << 31, 214748364700u, 1, {0x18, 0xFFFFFFCE00000000u}},  // 2^31 * (2^31-1) * 100
  };
  for (const auto& c : cases) {
    const Wide have = MulDiv(c.a, c.b, c.d);
    EXPECT_TRUE(have.high == c.want.high && have.low == c.want.low)
        << c.a << " * " << c.b << " / " << c.d << ": have " << have.high << ":" << have.low << ", want "
        << c.want.high << ":" << c.want.low;
  }
}

}  // namespace
