// Fuzz target: a whole export, every choice the host and the settings can
// make taken from the input.
//
// Input (little-endian; a short input reads as zeros past its end):
//   0      width selector     1 + b % 64 below 0xE0, else kSpecialWidths
//   1      height selector    1 + b % 64 below 0xE0, else kSpecialHeights
//   2..5   rate               int32
//   6..9   scale              int32
//   10     frame count        int8, kept within -kMaxFrames..kMaxFrames
//   11     use_mask           as the settings block holds it (non-zero: mask)
//   12..15 loop count         int32, as the settings block holds it
//   16     abort point        0xFF: none, else the frame (b % 16) before which
//                             the host says stop
//   17     null-frame point   0xFF: none, else the frame (b % 16) the host
//                             hands over as null
//   18..19 failed acquisition uint16, 0: none (stand-in only)
//   20     encoder layout     bit 0: the local-table layout (stand-in only)
//   21..   pixel bytes, repeated to fill every frame (none: a pattern)
//
// The result and the file are predicted from the input alone, apart from the
// export: rate or scale <= 0 refuses before anything happens; a size the
// encoder refuses, a null frame or a failed acquisition fails at that frame;
// a stop closes the frames so far. A written file must decode with giflib to
// the predicted frames, delays and indices, and nothing the stand-in handed
// out may be left alive.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "gif/frame_encoder.h"
#include "gif/output_pass.h"
#include "quantize/palette.h"
#include "tests/support/gif_decode.h"
#include "tests/support/host_fixture.h"
#include "tests/support/reference_rules.h"

#ifdef _WIN32
#include <process.h>
#define LODRA_PROCESS_ID _getpid()
#else
#include <unistd.h>

#include "platform/standin/control.h"
#define LODRA_PROCESS_ID getpid()
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::FakeHost;

constexpr int kMaxFrames = 8;
constexpr size_t kHeaderSize = 21;
// Accepted frames are kept below this many host bytes.
constexpr uint64_t kMaxFrameBytes = 256 << 10;
// Pixels compared with the reference search per frame, spread over the frame.
constexpr int64_t kComparedPixels = 512;

// The limits and just past them, and sizes whose padding or halving is odd.
constexpr int32_t kSpecialWidths[32] = {
    0,      -1,     -2,     -3,         INT32_MIN,  INT32_MAX, 65535,  65536,
    65537,  131070, 131071, 131072,     131073,     2,         3,      5,
    7,      127,    128,    129,        255,        256,       4097,   32767,
    32768,  -65535, -131070, 2147483646, 1,         65534,     4,      6};
constexpr int32_t kSpecialHeights[32] = {
    0,     -1,    -2,  INT32_MIN, INT32_MAX, 65535, 65536, 65537, 1,   2,   3,   4,   5,   127, 128, 129,
    255,   256,   257, 1000,      4097,      32767, 32768, -65535, 100, 200, 300, 400, 500, 600, 700, 800};

struct Input {
  int32_t width, height, rate, scale, frame_count, use_mask, loop_count;
  int abort_at, null_frame_at;
  int fail_acquisition;
  bool local_table_layout;
  Bytes pixels;
};

int32_t Int32At(const Bytes& header, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | header[at + i];
  int32_t result;
  std::memcpy(&result, &value, sizeof result);
  return result;
}

Input Decode(const uint8_t* data, size_t size) {
  Bytes header(data, data + (size < kHeaderSize ? size : kHeaderSize));
  header.resize(kHeaderSize, 0);
  Input in;
  in.width = header[0] < 0xE0 ? 1 + header[0] % 64 : kSpecialWidths[header[0] - 0xE0];
  in.height = header[1] < 0xE0 ? 1 + header[1] % 64 : kSpecialHeights[header[1] - 0xE0];
  in.rate = Int32At(header, 2);
  in.scale = Int32At(header, 6);
  in.frame_count = static_cast<int8_t>(header[10]) % (kMaxFrames + 1);
  in.use_mask = header[11];
  in.loop_count = Int32At(header, 12);
  in.abort_at = header[16] == 0xFF ? -1 : header[16] % 16;
  in.null_frame_at = header[17] == 0xFF ? -1 : header[17] % 16;
  in.fail_acquisition = header[18] | header[19] << 8;
  in.local_table_layout = (header[20] & 1) != 0;
  if (size > kHeaderSize) in.pixels.assign(data + kHeaderSize, data + size);
  // Big frames are cut down in height: the point is the width, not the bytes.
  if (in.width > 0 && in.height > 0 && HostFrameStride(in.width) * static_cast<uint64_t>(in.height) > kMaxFrameBytes) {
    const uint64_t rows = kMaxFrameBytes / HostFrameStride(in.width);
    in.height = static_cast<int32_t>(rows < 1 ? 1 : rows);
  }
  return in;
}

int32_t OutputWidth(const Input& in) { return in.use_mask != 0 ? in.width / 2 : in.width; }

bool EncoderTakes(const Input& in) {
  const int32_t width = OutputWidth(in);
  return width >= 1 && width <= 65535 && in.height >= 1 && in.height <= 65535;
}

// Host bytes of frame n: the input's pixel bytes from a place that moves with
// n, repeated; a frame the encoder must refuse gets a token buffer.
Bytes FrameBytes(const Input& in, int n) {
  if (!EncoderTakes(in)) return Bytes(16, 0x5A);
  const size_t size = static_cast<size_t>(HostFrameStride(in.width) * static_cast<uint64_t>(in.height));
  if (in.pixels.empty()) return testing_support::PatternFrame(in.width, in.height, n);
  // frame[i] = pixels[(start + i) % length]: one turn of the input's bytes
  // from `start`, then copies of what is filled so far, which stays a whole
  // number of turns until the last copy.
  const size_t length = in.pixels.size();
  const size_t start = static_cast<size_t>(n) * 7 % length;
  Bytes frame(size);
  const size_t turn = std::min(size, length);
  for (size_t i = 0; i < turn; ++i) frame[i] = in.pixels[(start + i) % length];
  for (size_t filled = turn; filled < size;) {
    const size_t count = std::min(filled, size - filled);
    std::memcpy(frame.data() + filled, frame.data(), count);
    filled += count;
  }
  return frame;
}

// ---- the prediction: the frames written, from the input alone; what they
// hold, from the reference rules (tests/support/reference_rules.h)

struct Prediction {
  int32_t result;
  int frames_written;
  bool refused_up_front;  // no callback at all
  bool failed_at_frame;   // a frame was fetched and then failed
};

Prediction Predict(const Input& in, int acquisitions_per_frame) {
  if (in.rate <= 0 || in.scale <= 0) return {0, 0, true, false};
  int acquired = 0;
  for (int n = 0; n < in.frame_count; ++n) {
    if (n == in.abort_at) break;
    if (n == in.null_frame_at || !EncoderTakes(in)) return {0, n, false, true};
    acquired += acquisitions_per_frame;
    if (in.fail_acquisition != 0 && in.fail_acquisition <= acquired) return {0, n, false, true};
  }
  int written = in.frame_count < 0 ? 0 : in.frame_count;
  if (in.abort_at >= 0 && in.abort_at < written) written = in.abort_at;
  return {1, written, false, false};
}

std::string OutputPath() {
  const char* folder = std::getenv("TMPDIR");
#ifdef _WIN32
  if (folder == nullptr) folder = std::getenv("TEMP");
#endif
  return std::string(folder != nullptr ? folder : "/tmp") + "/lodra_export_fuzz_" +
         std::to_string(LODRA_PROCESS_ID) + ".gif";
}

using testing_support::kWantClosing;

// The written file against the prediction.
void CheckFile(const Input& in, const Prediction& want, const Bytes& file) {
  if (want.frames_written == 0) {
    FUZZ_CHECK(file == kWantClosing, "a file with no frames is the closing 13 bytes; have " +
                                     std::to_string(file.size()) + " bytes");
    return;
  }
  testing_support::DecodedGif gif;
  std::string error;
  FUZZ_CHECK(testing_support::DecodeGif(file, &gif, &error), "giflib cannot read the file: " + error);
  FUZZ_CHECK_EQ(gif.version, std::string("GIF89a"), "version");
  FUZZ_CHECK_EQ(gif.width, OutputWidth(in), "screen width");
  FUZZ_CHECK_EQ(gif.height, in.height, "screen height");
  FUZZ_CHECK_EQ(gif.global_table.size(), size_t{256}, "global table entries");
  FUZZ_CHECK_EQ(gif.loop_count, testing_support::ReferenceLoopCount(in.loop_count), "loop count");
  FUZZ_CHECK(gif.comments == std::vector<std::string>{"UUUUUUUU"}, "the closing comment");
  FUZZ_CHECK_EQ(gif.frames.size(), static_cast<size_t>(want.frames_written), "frames");

  const int32_t width = OutputWidth(in);
  const int64_t pixels = static_cast<int64_t>(width) * in.height;
  const int64_t step = pixels > kComparedPixels ? pixels / kComparedPixels : 1;
  for (int n = 0; n < want.frames_written; ++n) {
    const testing_support::DecodedFrame& frame = gif.frames[n];
    const std::string which = "frame " + std::to_string(n);
    FUZZ_CHECK_EQ(frame.delay, testing_support::ReferenceDelay(in.rate, in.scale, n), which + " delay");
    FUZZ_CHECK_EQ(frame.disposal, 2, which + " disposal");
    FUZZ_CHECK_EQ(frame.transparent_index, 0, which + " transparent index");
    FUZZ_CHECK(frame.width == width && frame.height == in.height && frame.left == 0 && frame.top == 0,
               which + " does not cover the screen");
    FUZZ_CHECK(!frame.interlaced, which + " is interlaced");
    FUZZ_CHECK_EQ(frame.indices.size(), static_cast<size_t>(pixels), which + " pixels");
    const Bytes host = FrameBytes(in, n);
    for (int64_t i = 0; i < pixels; i += step) {
      const int x = static_cast<int>(i % width), y = static_cast<int>(i / width);
      const uint8_t want_index = testing_support::ExpectedIndex(host, in.width, in.height, in.use_mask != 0, x, y);
      FUZZ_CHECK_EQ(frame.indices[static_cast<size_t>(i)], want_index,
                    which + " pixel (" + std::to_string(x) + ", " + std::to_string(y) + ")");
    }
  }
}

#ifndef _WIN32
// What one encoding of this input's frame acquires from the stand-in.
int AcquisitionsPerFrame(const Input& in) {
  const Palette& palette = FixedPalette();
  const Bytes frame = FrameBytes(in, 0);
  standin::Reset();
  if (in.local_table_layout) standin::SetGifLayout(standin::GifLayout::kLocalTableOnly);
  uint8_t* block = in.use_mask != 0 ? EncodeMaskedFrame(&palette, in.width, frame.data(), in.height, nullptr)
                                    : EncodeFrame(&palette, in.width, frame.data(), in.height, nullptr);
  FUZZ_CHECK(block != nullptr, "a frame the encoder takes could not be encoded");
  const int count = standin::AcquisitionCount();
  FreeFrameGif(block);
  FUZZ_CHECK_EQ(standin::LiveTotal(), 0, "objects alive after one encoding");
  return count;
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = Decode(data, size);
#ifdef _WIN32
  // No way to fail the real system's acquisitions or choose its layout.
  in.fail_acquisition = 0;
  in.local_table_layout = false;
#endif
  int per_frame = 0;
#ifndef _WIN32
  if (in.fail_acquisition != 0 && EncoderTakes(in) && in.rate > 0 && in.scale > 0) per_frame = AcquisitionsPerFrame(in);
#endif
  const Prediction want = Predict(in, per_frame);

  FakeHost host(in.width, in.height, in.frame_count, OutputPath());
  host.rate = in.rate;
  host.scale = in.scale;
  host.abort_at = in.abort_at;
  host.null_frame_at = in.null_frame_at;
  host.frame_source = [&in](int n) { return FrameBytes(in, n); };
  std::remove(host.path.c_str());

  host.settings = {in.loop_count, in.use_mask != 0};
#ifndef _WIN32
  standin::Reset();
  if (in.local_table_layout) standin::SetGifLayout(standin::GifLayout::kLocalTableOnly);
  standin::FailAcquisition(in.fail_acquisition);
#endif
  const int32_t result = host.Export() == ExportResult::kWritten ? 1 : 0;
#ifndef _WIN32
  FUZZ_CHECK_EQ(standin::LiveTotal(), 0, "objects alive after the export");
  standin::Reset();
#endif

  FUZZ_CHECK_EQ(result, want.result, "export result");
  if (want.refused_up_front) {
    FUZZ_CHECK(host.calls.empty(), "a refused export calls the host");
    FUZZ_CHECK(!testing_support::FileExists(host.path), "a refused export creates the file");
    return 0;
  }
  // Every written frame is fetched and followed by a refresh; a failed frame
  // is fetched too, and one more refresh says the export failed.
  const int fetched = want.frames_written + (want.failed_at_frame ? 1 : 0);
  FUZZ_CHECK_EQ(host.CountOf("frame "), fetched, "frames fetched");
  FUZZ_CHECK_EQ(host.CountOf("refresh"), fetched, "refreshes");

  const Bytes file = testing_support::ReadFile(host.path);
  std::remove(host.path.c_str());
  if (want.result == 1) {
    CheckFile(in, want, file);
  } else if (want.frames_written == 0) {
    FUZZ_CHECK(file.empty(), "a failure at the first frame leaves bytes in the file");
  } else {
    // The frames so far, unclosed: the head, the looping extension and more.
    FUZZ_CHECK(file.size() > 781 + 19 && std::memcmp(file.data(), "GIF89a", 6) == 0,
               "a failure after frames keeps them");
    FUZZ_CHECK(!std::equal(kWantClosing.begin(), kWantClosing.end(), file.end() - kWantClosing.size()),
               "a failed export is closed off");
  }
  return 0;
}
