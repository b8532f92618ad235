#include "tests/support/host_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "quantize/palette.h"

namespace testing_support {

FakeHost* FakeHost::current_ = nullptr;

size_t HostStride(int width) { return (3 * static_cast<size_t>(width) + 3) / 4 * 4; }

std::vector<uint8_t> MakeHostFrame(int width, int height, const ColourAt& colour_at) {
  const size_t stride = HostStride(width);
  // Padding bytes are garbage on purpose: the encoder must not read them.
  std::vector<uint8_t> frame(stride * static_cast<size_t>(height), 0xA5);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = frame.data() + static_cast<size_t>(height - 1 - y) * stride;
    for (int x = 0; x < width; ++x) {
      const uint32_t rgb = colour_at(x, y);
      row[3 * x + 0] = static_cast<uint8_t>(rgb);
      row[3 * x + 1] = static_cast<uint8_t>(rgb >> 8);
      row[3 * x + 2] = static_cast<uint8_t>(rgb >> 16);
    }
  }
  return frame;
}

std::vector<uint8_t> PatternFrame(int width, int height, int n) {
  return MakeHostFrame(width, height, [n](int x, int y) {
    const uint32_t r = static_cast<uint32_t>(x * 37 + n * 11) & 0xFF;
    const uint32_t g = static_cast<uint32_t>(y * 53 + n * 7) & 0xFF;
    const uint32_t b = static_cast<uint32_t>((x ^ y) * 29 + n * 3) & 0xFF;
    return r << 16 | g << 8 | b;
  });
}

FakeHost::FakeHost(int width, int height, int frame_count, std::string path)
    : width(width), height(height), frame_count(frame_count), path(std::move(path)) {
  frame_source = [this](int n) { return PatternFrame(this->width, this->height, n); };
}

OutputInfo FakeHost::Info() {
  OutputInfo info{};
  info.width = width;
  info.height = height;
  info.rate = rate;
  info.scale = scale;
  info.frame_count = frame_count;
  info.save_file = path.c_str();
  info.get_frame = &FakeHost::GetFrame;
  info.is_aborted = &FakeHost::IsAborted;
  info.report_progress = &FakeHost::ReportProgress;
  info.host_refresh = &FakeHost::HostRefresh;
  return info;
}

int32_t FakeHost::Export() {
  OutputInfo info = Info();
  current_ = this;
  asked_ = 0;
  const int32_t result = OutputAnimatedGif(&info);
  current_ = nullptr;
  return result;
}

int FakeHost::CountOf(const std::string& prefix) const {
  int count = 0;
  for (const std::string& call : calls) count += call.compare(0, prefix.size(), prefix) == 0;
  return count;
}

void* FakeHost::GetFrame(int32_t n) {
  current_->calls.push_back("frame " + std::to_string(n));
  if (n == current_->null_frame_at) return nullptr;
  current_->frame_ = current_->frame_source(n);
  return current_->frame_.data();
}

int32_t FakeHost::IsAborted() {
  const int n = current_->asked_++;
  current_->calls.push_back("aborted? " + std::to_string(n));
  return n == current_->abort_at ? 1 : 0;
}

int32_t FakeHost::ReportProgress(int32_t current, int32_t total) {
  current_->calls.push_back("progress " + std::to_string(current) + "/" + std::to_string(total));
  return 1;
}

int32_t FakeHost::HostRefresh() {
  current_->calls.push_back("refresh");
  return 1;
}

std::string TempPath(const std::string& name) {
  const char* folder = std::getenv("TMPDIR");
#ifdef _WIN32
  if (folder == nullptr) folder = std::getenv("TEMP");
#endif
  std::string base = folder != nullptr ? folder : "/tmp";
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string unique = test != nullptr ? std::string(test->test_suite_name()) + "_" + test->name() : "lodra";
  for (char& c : unique)
    if (c == '/' || c == '\\') c = '_';
  return base + "/" + unique + "_" + name;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

std::vector<uint8_t> ExpectedIndices(const std::vector<uint8_t>& host_frame, int width, int height, bool masked) {
  Palette palette;
  BuildPalette(&palette);
  const int out_width = masked ? width / 2 : width;
  const size_t stride = HostStride(width);
  std::vector<uint8_t> indices;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = host_frame.data() + static_cast<size_t>(height - 1 - y) * stride;
    for (int x = 0; x < out_width; ++x) {
      const uint8_t* pixel = row + 3 * x;
      const uint8_t* mask = row + 3 * (out_width + x);
      if (masked && mask[0] == 0 && mask[1] == 0 && mask[2] == 0) {
        indices.push_back(0);
        continue;
      }
      const uint32_t word = pixel[0] | pixel[1] << 8 | pixel[2] << 16;
      indices.push_back(static_cast<uint8_t>(FindNearestColor(word, &palette)));
    }
  }
  return indices;
}

}  // namespace testing_support
