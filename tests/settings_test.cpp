// The settings block the host reads out (GetConfig) and hands back
// (SetConfig): 8 bytes, loop_count then use_mask, little-endian.
#include <gtest/gtest.h>

#include "tests/support/have_want.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "plugin/module_entries.h"
#include "tests/support/gif_decode.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"

namespace {

using testing_support::HaveWant;

using Block = std::array<uint8_t, 8>;

std::string Show(const Settings& s) {
  return "{" + std::to_string(s.loop_count) + ", " + std::to_string(s.use_mask) + "}";
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = g_settings; }
  void TearDown() override { g_settings = saved_; }

 private:
  Settings saved_{};
};

// ------------------------------------------------------------------ SetConfig

struct SetConfigCase {
  const char* name;
  Settings before;
  bool null_data;
  Block block;
  int32_t size;
  int32_t want_result;
  Settings want_after;
};

// 100000 = 0x000186A0; -1 = 0xFFFFFFFF.
const Block kBlock100000Masked = {0xA0, 0x86, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00};
const Block kBlockMinusOneMask5 = {0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0x00, 0x00, 0x00};

const SetConfigCase kSetConfigCases[] = {
    {"size 8 takes the block, 100000 unclamped", {3, 0}, false, kBlock100000Masked, 8, 8,
     {100000, 1}},
    {"negative count and mask 5 taken as they are", {3, 0}, false, kBlockMinusOneMask5, 8, 8,
     {-1, 5}},
    {"size 0 changes nothing", {3, 1}, false, kBlock100000Masked, 0, 0, {3, 1}},
    {"size 7 changes nothing", {3, 1}, false, kBlock100000Masked, 7, 0, {3, 1}},
    {"size 9 changes nothing", {3, 1}, false, kBlock100000Masked, 9, 0, {3, 1}},
    {"size -8 changes nothing", {3, 1}, false, kBlock100000Masked, -8, 0, {3, 1}},
    {"null block of size 8 changes nothing", {3, 1}, true, kBlock100000Masked, 8, 0, {3, 1}},
};

TEST_F(SettingsTest, SetConfig) {
  for (const SetConfigCase& c : kSetConfigCases) {
    SCOPED_TRACE(c.name);
    g_settings = c.before;
    const int32_t result = SetConfig(c.null_data ? nullptr : c.block.data(), c.size);
    EXPECT_TRUE(HaveWant(result, c.want_result)) << "result";
    EXPECT_TRUE(HaveWant(Show(g_settings), Show(c.want_after))) << "settings";
  }
}

// ------------------------------------------------------------------ GetConfig

struct GetConfigCase {
  const char* name;
  Settings settings;
  Block want_block;
};

const GetConfigCase kGetConfigCases[] = {
    {"zero settings", {0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
    {"100000 with the mask", {100000, 1}, kBlock100000Masked},
    {"-1 and mask 5 as stored", {-1, 5}, kBlockMinusOneMask5},
};

TEST_F(SettingsTest, GetConfigWritesEightBytesAndNoMore) {
  constexpr uint8_t kCanary = 0xCC;
  for (const GetConfigCase& c : kGetConfigCases) {
    SCOPED_TRACE(c.name);
    g_settings = c.settings;
    std::array<uint8_t, 16> buffer;
    buffer.fill(kCanary);
    EXPECT_TRUE(HaveWant(GetConfig(buffer.data()), int32_t{8})) << "result";
    Block written;
    std::copy(buffer.begin(), buffer.begin() + 8, written.begin());
    EXPECT_TRUE(HaveWant(written, c.want_block)) << "block";
    for (std::size_t i = 8; i < buffer.size(); ++i) {
      EXPECT_TRUE(HaveWant(buffer[i], kCanary)) << "byte " << i << " past the block";
    }
  }
}

TEST_F(SettingsTest, GetConfigWithoutBufferTellsTheSize) {
  g_settings = {100000, 1};
  EXPECT_TRUE(HaveWant(GetConfig(nullptr), int32_t{8}));
  EXPECT_TRUE(HaveWant(Show(g_settings), Show({100000, 1})));
}

// ------------------------------------------------------------- the export

// The export entry reads the stored record when it starts: a block the host
// hands back is what the next file gets.
TEST_F(SettingsTest, TheExportEntryTakesTheStoredSettings) {
  const Block loop_1000_masked = {0xE8, 0x03, 0, 0, 1, 0, 0, 0};
  ASSERT_TRUE(HaveWant(SetConfig(loop_1000_masked.data(), 8), int32_t{8}));
  testing_support::FakeHost host(8, 2, 1, testing_support::TempPath("stored.gif"));
  ASSERT_TRUE(HaveWant(host.ExportThroughEntry(), int32_t{1}));
  testing_support::DecodedGif gif;
  std::string error;
  ASSERT_TRUE(testing_support::DecodeGif(testing_support::ReadFile(host.path), &gif, &error)) << error;
  EXPECT_TRUE(HaveWant(gif.loop_count, 1000)) << "loop count";
  EXPECT_TRUE(HaveWant(gif.width, 4)) << "mask mode halves the width";
  std::remove(host.path.c_str());
}

}  // namespace
