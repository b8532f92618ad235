// GIF image data coding of 1920x1080 index images: our LZW encoder
// (gifformat::LzwEncoder::Write, what the stand-in's GIF writer calls) against
// giflib's encoder as the stand-in used it before (EGifPutLine a row at a
// time), on the index images the colour map makes of every frame of each
// prepared pan. Both write into memory. Then decoding the same data: our
// decoder (gifformat::LzwDecoder::Decode, after joining the sub-blocks, as
// the optimiser does) against giflib's (DGifGetLine over the whole image).
//
// Checks before anything is timed, on every frame: our data, in a GIF,
// decodes with giflib and with ours to the frame's indices; and against
// giflib's file for the same frame, its size and whether the bytes are the
// same.
//
//   lzw_bench [--content=photo,illustration,gradient] [--benchmark_repetitions=N]
//             [Google Benchmark flags]
#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "gif/frame_encoder_internal.h"
#include "gifformat/lzw_decoder.h"
#include "gifformat/lzw_encoder.h"
#include "tests/support/gif_decode.h"
#include "tests/support/giflib_reference.h"

namespace {

using bench::Recorder;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct Workload {
  std::string content;
  std::vector<std::vector<uint8_t>> index_images;  // rows IndexImageStride(kWidth) apart
  std::vector<std::vector<uint8_t>> files;         // our data in a GIF, one a frame
  size_t our_bytes = 0;                            // over all frames, whole files
  size_t giflib_bytes = 0;
  size_t identical_frames = 0;
  std::string error;  // set when the content is missing or a check failed
};

bool AppendTo(void* context, const uint8_t* bytes, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), bytes, bytes + length);
  return true;
}

// The coder is kept from frame to frame, as the stand-in keeps its own.
bool CodeOurs(gifformat::LzwEncoder& coder, const std::vector<uint8_t>& image, std::vector<uint8_t>* out) {
  out->clear();
  return coder.Write(image.data(), kWidth, kHeight, static_cast<ptrdiff_t>(IndexImageStride(kWidth)), AppendTo,
                     out) == gifformat::LzwResult::kOk;
}

// Where our data starts in the file GifAround makes: after the head and
// the image descriptor.
constexpr size_t kDataOffset = 13 + 768 + 10;

bool DecodeOurs(gifformat::LzwDecoder& decoder, const std::vector<uint8_t>& file, std::vector<uint8_t>* joined,
                uint8_t* indices) {
  const size_t chain = kDataOffset + 1;
  const size_t length = gifformat::JoinSubBlocks(file.data() + chain, file.size() - chain, joined->data());
  return decoder.Decode(joined->data(), length, file[kDataOffset], indices, size_t{kWidth} * kHeight) ==
         gifformat::Error::kNone;
}

struct MemoryReader {
  const std::vector<uint8_t>* bytes;
  size_t at;
};

int ReadMemory(GifFileType* gif, GifByteType* out, int size) {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  const size_t count = std::min(static_cast<size_t>(size), reader->bytes->size() - reader->at);
  std::memcpy(out, reader->bytes->data() + reader->at, count);
  reader->at += count;
  return static_cast<int>(count);
}

bool DecodeGiflib(const std::vector<uint8_t>& file, uint8_t* indices) {
  MemoryReader reader{&file, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, ReadMemory, &error);
  if (gif == nullptr) return false;
  GifRecordType type;
  const bool ok = DGifGetRecordType(gif, &type) == GIF_OK && type == IMAGE_DESC_RECORD_TYPE &&
                  DGifGetImageDesc(gif) == GIF_OK && DGifGetLine(gif, indices, kWidth * kHeight) == GIF_OK;
  DGifCloseFile(gif, &error);
  return ok;
}

bool CodeGiflib(const std::vector<uint8_t>& image, std::vector<uint8_t>* out, std::vector<uint8_t>* row) {
  return testing_support::GiflibEncode(image.data(), kWidth, kHeight,
                                       static_cast<ptrdiff_t>(IndexImageStride(kWidth)), out, row);
}

// Loads the content, makes the index images and checks every frame; empty
// on success, else what failed.
std::string Prepare(Workload& w) {
  bench::RawVideo video;
  std::string error;
  if (!bench::LoadRaw(w.content, kWidth, kHeight, &video, &error)) return error;
  const size_t stride = IndexImageStride(kWidth);
  gifformat::LzwEncoder coder;
  std::vector<uint8_t> ours;
  std::vector<uint8_t> giflib;
  std::vector<uint8_t> row;
  testing_support::DecodedGif decoded;
  gifformat::LzwDecoder decoder;
  std::vector<uint8_t> joined(size_t{3} * kWidth * kHeight);
  std::vector<uint8_t> indices(size_t{kWidth} * kHeight + gifformat::kLzwDecodeSlack);
  for (int n = 0; n < video.frame_count; ++n) {
    std::vector<uint8_t> image(stride * kHeight);
    const std::vector<uint8_t> host = bench::HostFrame(video, n);
    MapFrameToIndices(FrameLayout::kPlain, FixedPalette(), kWidth, host.data(), kHeight, image.data(), stride);
    const std::string frame = "frame " + std::to_string(n) + ": ";
    if (!CodeOurs(coder, image, &ours)) return frame + "our coder failed";
    if (!CodeGiflib(image, &giflib, &row)) return frame + "giflib's encoder failed";
    const std::vector<uint8_t> file = testing_support::GifAround(ours, kWidth, kHeight);
    if (!testing_support::DecodeGif(file, &decoded, &error)) return frame + "giflib: " + error;
    if (decoded.frames.size() != 1) return frame + "decodes as " + std::to_string(decoded.frames.size()) + " images";
    const testing_support::DecodedFrame& picture = decoded.frames[0];
    if (picture.width != kWidth || picture.height != kHeight)
      return frame + "decodes as " + std::to_string(picture.width) + "x" + std::to_string(picture.height);
    const std::string difference =
        bench::FirstDifference(picture.indices.data(), kWidth, image.data(), stride, kWidth, kHeight);
    if (!difference.empty()) return frame + "decoded with giflib: " + difference;
    if (!DecodeOurs(decoder, file, &joined, indices.data())) return frame + "our decoder failed";
    const std::string ours_difference =
        bench::FirstDifference(indices.data(), kWidth, image.data(), stride, kWidth, kHeight);
    if (!ours_difference.empty()) return frame + "decoded with ours: " + ours_difference;
    w.our_bytes += file.size();
    w.giflib_bytes += giflib.size();
    w.identical_frames += file == giflib ? 1 : 0;
    w.index_images.push_back(std::move(image));
    w.files.push_back(file);
  }
  return "";
}

void SetFrameCounters(benchmark::State& state, size_t frames) {
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate);
}

void BenchOurs(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  gifformat::LzwEncoder coder;
  std::vector<uint8_t> out;
  out.reserve(4 << 20);
  for (auto _ : state) {
    for (const std::vector<uint8_t>& image : w->index_images)
      if (!CodeOurs(coder, image, &out)) return state.SkipWithError("our coder failed");
    benchmark::DoNotOptimize(out.data());
  }
  SetFrameCounters(state, w->index_images.size());
}

void BenchGiflib(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  std::vector<uint8_t> out;
  std::vector<uint8_t> row;
  out.reserve(4 << 20);
  for (auto _ : state) {
    for (const std::vector<uint8_t>& image : w->index_images)
      if (!CodeGiflib(image, &out, &row)) return state.SkipWithError("giflib's encoder failed");
    benchmark::DoNotOptimize(out.data());
  }
  SetFrameCounters(state, w->index_images.size());
}

void BenchDecodeOurs(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  gifformat::LzwDecoder decoder;
  std::vector<uint8_t> joined(size_t{3} * kWidth * kHeight);
  std::vector<uint8_t> indices(size_t{kWidth} * kHeight + gifformat::kLzwDecodeSlack);
  for (auto _ : state) {
    for (const std::vector<uint8_t>& file : w->files)
      if (!DecodeOurs(decoder, file, &joined, indices.data())) return state.SkipWithError("our decoder failed");
    benchmark::DoNotOptimize(indices.data());
  }
  SetFrameCounters(state, w->files.size());
}

void BenchDecodeGiflib(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  std::vector<uint8_t> indices(size_t{kWidth} * kHeight);
  for (auto _ : state) {
    for (const std::vector<uint8_t>& file : w->files)
      if (!DecodeGiflib(file, indices.data())) return state.SkipWithError("giflib's decoder failed");
    benchmark::DoNotOptimize(indices.data());
  }
  SetFrameCounters(state, w->files.size());
}

void PrintSummary(const Recorder& recorder, const std::vector<std::unique_ptr<Workload>>& workloads) {
  std::cout << "GIF coding of one 1920x1080 index image, one core: CPU time a frame, median [min .. max]\n"
            << "over the repetitions (real time in the table above)\n";
  for (const auto& w : workloads) {
    const std::vector<double>* ours = recorder.CpuTimes("ours/" + w->content);
    const std::vector<double>* giflib = recorder.CpuTimes("giflib/" + w->content);
    if (ours == nullptr || giflib == nullptr || w->index_images.empty()) continue;
    const double frames = static_cast<double>(w->index_images.size());
    auto per_frame = [frames](const std::vector<double>& times) {
      bench::Spread s = bench::SpreadOf(times);
      s.median /= frames;
      s.low /= frames;
      s.high /= frames;
      return s;
    };
    const bench::Spread o = per_frame(*ours);
    const bench::Spread g = per_frame(*giflib);
    char line[400];
    std::snprintf(line, sizeof line,
                  "  %-12s ours %s, giflib %s: %.2fx; size %.2f MiB a frame, %.3f%% of giflib's, "
                  "%zu of %zu frames byte for byte the same\n",
                  w->content.c_str(), bench::FormatSeconds(o).c_str(), bench::FormatSeconds(g).c_str(),
                  g.median / o.median, static_cast<double>(w->our_bytes) / frames / (1 << 20),
                  100.0 * static_cast<double>(w->our_bytes) / static_cast<double>(w->giflib_bytes),
                  w->identical_frames, w->index_images.size());
    std::cout << line;
  }
  std::cout << "Decoding the same data, CPU time a frame\n";
  for (const auto& w : workloads) {
    const std::vector<double>* ours = recorder.CpuTimes("decode-ours/" + w->content);
    const std::vector<double>* giflib = recorder.CpuTimes("decode-giflib/" + w->content);
    if (ours == nullptr || giflib == nullptr || w->files.empty()) continue;
    const double frames = static_cast<double>(w->files.size());
    bench::Spread o = bench::SpreadOf(*ours);
    bench::Spread g = bench::SpreadOf(*giflib);
    for (bench::Spread* s : {&o, &g}) {
      s->median /= frames;
      s->low /= frames;
      s->high /= frames;
    }
    char line[300];
    std::snprintf(line, sizeof line, "  %-12s ours %s, giflib %s: %.2fx\n", w->content.c_str(),
                  bench::FormatSeconds(o).c_str(), bench::FormatSeconds(g).c_str(), g.median / o.median);
    std::cout << line;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> contents = {"photo", "illustration", "gradient"};
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--content=", 0) == 0) {
      contents = bench::SplitList(arg.substr(10));
    } else {
      rest.push_back(argv[i]);
    }
  }
  int rest_count = static_cast<int>(rest.size());
  rest.push_back(nullptr);

  std::vector<std::unique_ptr<Workload>> workloads;
  for (const std::string& content : contents) {
    auto w = std::make_unique<Workload>();
    w->content = content;
    const std::string failed = Prepare(*w);
    if (!failed.empty()) {
      w->error = content + ": " + failed;
      std::cerr << "lzw_bench: " << w->error << "\n";
      w->index_images.clear();
    } else {
      std::cout << content << ": " << w->index_images.size()
                << " frames checked (our data decodes with giflib to the index images)\n";
    }
    Workload* p = w.get();
    benchmark::RegisterBenchmark(("ours/" + content).c_str(), BenchOurs, p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("giflib/" + content).c_str(), BenchGiflib, p)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("decode-ours/" + content).c_str(), BenchDecodeOurs, p)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("decode-giflib/" + content).c_str(), BenchDecodeGiflib, p)
        ->Unit(benchmark::kMillisecond);
    workloads.push_back(std::move(w));
  }
  return bench::RunBenchmarks(rest_count, rest.data(),
                              [&](const Recorder& recorder) { PrintSummary(recorder, workloads); });
}
