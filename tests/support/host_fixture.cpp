#include "tests/support/host_fixture.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <ostream>

#include "plugin/module_entries.h"

void PrintTo(ExportResult result, std::ostream* out) { *out << ExportResultName(result); }

namespace testing_support {

FakeHost* FakeHost::current_ = nullptr;

std::vector<uint8_t> MakeHostFrame(int width, int height, const ColourAt& colour_at) {
  const size_t stride = static_cast<size_t>(HostFrameStride(width));
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

ExportResult FakeHost::Export() {
  AnimationRequest request;
  request.host_width = width;
  request.height = height;
  request.rate = rate;
  request.scale = scale;
  request.frame_count = frame_count;
  request.path = path.c_str();
  asked_ = 0;
  return WriteAnimatedGif(request, settings, *this);
}

OutputInfo FakeHost::Info() {
  OutputInfo info{};
  info.width = width;
  info.height = height;
  info.rate = rate;
  info.scale = scale;
  info.frame_count = frame_count;
  info.save_file = path.c_str();
  info.get_frame = &FakeHost::GetFrameCallback;
  info.is_aborted = &FakeHost::IsAbortedCallback;
  info.report_progress = &FakeHost::ReportProgressCallback;
  info.host_refresh = &FakeHost::HostRefreshCallback;
  return info;
}

int32_t FakeHost::ExportThroughEntry() {
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

bool FakeHost::IsAborted() {
  const int n = asked_++;
  calls.push_back("aborted? " + std::to_string(n));
  return n == abort_at;
}

void FakeHost::ReportProgress(int32_t n, int32_t total) {
  calls.push_back("progress " + std::to_string(n) + "/" + std::to_string(total));
}

const void* FakeHost::Pixels(int32_t n) {
  calls.push_back("frame " + std::to_string(n));
  if (n == null_frame_at) return nullptr;
  frame_ = frame_source(n);
  return frame_.data();
}

void FakeHost::Refresh() { calls.push_back("refresh"); }

void* FakeHost::GetFrameCallback(int32_t n) { return const_cast<void*>(current_->Pixels(n)); }
int32_t FakeHost::IsAbortedCallback() { return current_->IsAborted() ? 1 : 0; }
int32_t FakeHost::ReportProgressCallback(int32_t current, int32_t total) {
  current_->ReportProgress(current, total);
  return 1;
}
int32_t FakeHost::HostRefreshCallback() {
  current_->Refresh();
  return 1;
}

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

std::FILE* OpenUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
  const auto widen = [](const std::string& utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], length);
    return wide;
  };
  return _wfopen(widen(path).c_str(), widen(mode).c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* file = OpenUtf8(path, "rb");
  if (file == nullptr) return bytes;
  uint8_t buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(file);
  return bytes;
}

bool FileExists(const std::string& path) {
  std::FILE* file = OpenUtf8(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace testing_support
