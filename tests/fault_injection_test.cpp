// Every acquisition of an encoding and of an export, failed in turn: each
// failure gives the failure result, releases everything acquired so far and
// tells the host what a failure tells it.
#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "gif/frame_encoder.h"
#include "gif/frame_encoder_internal.h"
#include "gif/output_pass.h"
#include "platform/standin/control.h"
#include "tests/support/gif_decode.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"

namespace {
int g_fail_nothrow_new_at = 0;  // 0: never
int g_nothrow_new_count = 0;
}  // namespace

// The export's palette comes from the standard heap through nothrow new.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_fail_nothrow_new_at != 0 && ++g_nothrow_new_count == g_fail_nothrow_new_at) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using testing_support::FakeHost;
using testing_support::PatternFrame;
using testing_support::ReadFile;
using testing_support::TempPath;

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::Reset();
    ASSERT_EQ(standin::LiveTotal(), 0);
  }
  void TearDown() override {
    standin::Reset();
    g_fail_nothrow_new_at = 0;
  }

  static std::string Alive() {
    std::string alive;
    for (int kind = 0; kind < static_cast<int>(standin::Resource::kCount); ++kind) {
      const int count = standin::LiveCount(static_cast<standin::Resource>(kind));
      if (count != 0) alive += std::string(standin::ResourceName(static_cast<standin::Resource>(kind))) + "=" + std::to_string(count) + " ";
    }
    return alive.empty() ? "nothing" : alive;
  }
};

int AcquisitionsOfOneEncoding(bool masked) {
  const Palette& palette = FixedPalette();
  const std::vector<uint8_t> frame = PatternFrame(6, 3, 0);
  standin::Reset();
  uint8_t* block = masked ? EncodeMaskedFrame(&palette, 6, frame.data(), 3, nullptr)
                          : EncodeFrame(&palette, 6, frame.data(), 3, nullptr);
  const int count = standin::AcquisitionCount();
  FreeFrameGif(block);
  return block != nullptr ? count : -1;
}

// The reason an encoding or an export gives when an acquisition of `kind`
// fails: the imaging library's start-up and bitmaps are its own failures;
// memory of every other kind ran out.
ExportResult WantReason(standin::Resource kind) {
  const bool imaging = kind == standin::Resource::kStartup || kind == standin::Resource::kBitmap;
  return imaging ? ExportResult::kImagingLibrary : ExportResult::kAllocation;
}

TEST_F(FaultInjection, EveryAcquisitionOfAnEncodingFailsCleanly) {
  for (bool masked : {false, true}) {
    const int acquisitions = AcquisitionsOfOneEncoding(masked);
    ASSERT_GT(acquisitions, 4) << "start-up, index image, bitmap, stream block, stream, result at least";
    const Palette& palette = FixedPalette();
    const std::vector<uint8_t> frame = PatternFrame(6, 3, 0);
    for (int k = 1; k <= acquisitions; ++k) {
      standin::Reset();
      standin::FailAcquisition(k);
      uint32_t length = 99;
      ExportResult failure = ExportResult::kWritten;
      uint8_t* block = EncodeFrameGif(masked ? FrameLayout::kMasked : FrameLayout::kPlain, &palette, 6,
                                      frame.data(), 3, &length, &failure);
      EXPECT_EQ(block, nullptr) << "acquisition " << k << " of " << acquisitions;
      EXPECT_EQ(length, 99u) << "acquisition " << k;
      const standin::Resource kind = standin::FailedAcquisition();
      EXPECT_EQ(failure, WantReason(kind)) << "acquisition " << k << ", " << standin::ResourceName(kind);
      EXPECT_EQ(standin::LiveTotal(), 0) << "acquisition " << k << " failed; alive: " << Alive();
      FreeFrameGif(block);
    }
  }
}

TEST_F(FaultInjection, NullPixelsAcquireNothing) {
  const Palette& palette = FixedPalette();
  EXPECT_EQ(EncodeFrame(&palette, 4, nullptr, 4, nullptr), nullptr);
  EXPECT_EQ(standin::AcquisitionCount(), 0);
}

TEST_F(FaultInjection, EveryAcquisitionOfAnExportFailsCleanly) {
  constexpr int kFrames = 3;
  const int per_frame = AcquisitionsOfOneEncoding(false);
  ASSERT_GT(per_frame, 0);
  for (int k = 1; k <= kFrames * per_frame; ++k) {
    FakeHost host(6, 3, kFrames, TempPath("fault.gif"));
    standin::Reset();
    standin::FailAcquisition(k);
    const ExportResult result = host.Export();
    EXPECT_EQ(result, WantReason(standin::FailedAcquisition())) << "acquisition " << k;
    EXPECT_EQ(standin::LiveTotal(), 0) << "acquisition " << k << " failed; alive: " << Alive();
    const int frames_done = (k - 1) / per_frame;
    EXPECT_EQ(host.CountOf("refresh"), frames_done + 1) << "acquisition " << k;
    EXPECT_EQ(host.CountOf("frame "), frames_done + 1) << "acquisition " << k;
    EXPECT_EQ(host.calls.back(), "refresh") << "acquisition " << k;
    std::remove(host.path.c_str());
  }
  // And with nothing failed, the same export succeeds with nothing left over.
  FakeHost host(6, 3, kFrames, TempPath("fault.gif"));
  standin::Reset();
  EXPECT_EQ(host.Export(), ExportResult::kWritten);
  EXPECT_EQ(standin::AcquisitionCount(), kFrames * per_frame);
  EXPECT_EQ(standin::LiveTotal(), 0) << Alive();
  std::remove(host.path.c_str());
}

TEST_F(FaultInjection, NoPaletteNoFileNoCallbacks) {
  FakeHost host(4, 4, 2, TempPath("nopalette.gif"));
  std::remove(host.path.c_str());
  g_nothrow_new_count = 0;
  g_fail_nothrow_new_at = 1;
  EXPECT_EQ(host.Export(), ExportResult::kAllocation);
  g_fail_nothrow_new_at = 0;
  EXPECT_TRUE(host.calls.empty());
  EXPECT_TRUE(ReadFile(host.path).empty());
  EXPECT_FALSE(testing_support::FileExists(host.path));
}

TEST_F(FaultInjection, NoGifEncoderFailsTheFrame) {
  standin::SetGifEncoderListed(false);
  CLSID clsid{};
  ExportResult failure = ExportResult::kWritten;
  EXPECT_EQ(GetGifEncoderClsid(&clsid, &failure), -1);
  EXPECT_EQ(failure, ExportResult::kImagingLibrary);
  FakeHost host(4, 4, 2, TempPath("noencoder.gif"));
  EXPECT_EQ(host.Export(), ExportResult::kImagingLibrary);
  EXPECT_EQ(host.CountOf("refresh"), 1);
  EXPECT_EQ(standin::LiveTotal(), 0) << Alive();
  std::remove(host.path.c_str());
}

// The imaging library may write the palette as a local table with no control
// extension; the animation comes out the same, byte for byte.
TEST_F(FaultInjection, EitherEncoderLayoutGivesTheSameFile) {
  for (int32_t use_mask : {0, 1}) {
    FakeHost global_table(10, 6, 4, TempPath("global.gif"));
    global_table.settings = {7, use_mask != 0};
    standin::SetGifLayout(standin::GifLayout::kGlobalTableWithControlExtension);
    ASSERT_EQ(global_table.Export(), ExportResult::kWritten);
    FakeHost local_table(10, 6, 4, TempPath("local.gif"));
    local_table.settings = {7, use_mask != 0};
    standin::SetGifLayout(standin::GifLayout::kLocalTableOnly);
    ASSERT_EQ(local_table.Export(), ExportResult::kWritten);
    const std::vector<uint8_t> want = ReadFile(global_table.path);
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(ReadFile(local_table.path), want) << "mask " << use_mask;
    std::remove(global_table.path.c_str());
    std::remove(local_table.path.c_str());
  }
}

}  // namespace
