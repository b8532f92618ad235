// lodra-gif on video files, end to end: clips made by ffmpeg from real
// pictures (tests/support/video_clips.cpp), exported through the real
// plug-in, decoded with giflib and compared with what ffprobe and ffmpeg's
// own decode say: frame count, delays, picture size, the quantiser's
// indices for ffmpeg's pixels, and transparency where the alpha says.
// Native only, and only where lodra-gif is built with its video input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"
#include "tests/support/host_process.h"
#include "tests/support/host_run.h"
#include "tests/support/temp_path.h"
#include "tests/support/video_clips.h"

namespace {

using namespace testing_support;

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// ffmpeg's frame as the host would hand it over: the picture, and with
// alpha the mask beside it (white where the alpha is at least 128).
Bytes HostFrameOf(const RefFrame& ref, bool alpha) {
  const int w = ref.width;
  return MakeHostFrame(alpha ? 2 * w : w, ref.height, [&](int x, int y) -> uint32_t {
    if (x >= w) return ref.At(x - w, y)[3] >= 128 ? 0xFFFFFF : 0;
    const uint8_t* p = ref.At(x, y);
    return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
  });
}

// What `gif` plays for every frame of ffmpeg's decode, at the times of
// `delays`, against the quantiser's indices for ffmpeg's frame: nearly all
// the same (the two decodes may differ by a step of rounding, which can tip
// a pixel to a neighbouring palette entry; a frame taken for another
// differs all over). With alpha, every pixel ffmpeg decodes fully
// transparent is transparent in the GIF, and every opaque one is not; a
// `dithered` export is held to that alone.
void ExpectFramesMatch(const Playback& gif, const std::vector<RefFrame>& ref, const std::vector<int>& delays,
                       bool alpha, bool dithered = false) {
  ASSERT_FALSE(ref.empty()) << "ffmpeg decoded no frame";
  const std::vector<ShownPicture> frames = FramesAsPlayed(gif, delays);
  ASSERT_TRUE(HaveWant(frames.size(), ref.size())) << "frames, against ffmpeg's decode";
  const int w = ref[0].width, h = ref[0].height;
  for (size_t n = 0; n < ref.size(); ++n) {
    SCOPED_TRACE("frame " + std::to_string(n));
    const std::vector<uint32_t> want = ShownFrame(HostFrameOf(ref[n], alpha), alpha ? 2 * w : w, h, alpha).pixels;
    const std::vector<uint32_t>& have = frames[n].pixels;
    ASSERT_EQ(have.size(), want.size());
    size_t same = 0, transparency_wrong = 0;
    for (size_t i = 0; i < have.size(); ++i) {
      same += have[i] == want[i];
      if (alpha) {
        const uint8_t a = ref[n].At(static_cast<int>(i % w), static_cast<int>(i / w))[3];
        transparency_wrong += (a == 0 && have[i] != 0) || (a == 255 && have[i] == 0);
      }
    }
    if (!dithered) {
      EXPECT_GE(same * 100, have.size() * 97) << "have " << same << " of " << have.size()
                                              << " pixels as ffmpeg's decode quantised, want 97%";
    }
    EXPECT_EQ(transparency_wrong, 0u) << "pixels whose transparency is not the alpha's";
  }
}

// ------------------------------------------------------- clips as ffmpeg decodes them

TEST(HostVideo, ClipsComeOutAsFfmpegDecodesThem) {
  struct Case {
    const char* what;
    const char* clip;
    std::vector<std::string> args;
    // What ffprobe must say about the clip, so that it is what the case says.
    const char* probe_entry;
    const char* want_probe;
    // ffmpeg's reference: options before -i, and the filter after it.
    std::vector<std::string> ref_input;
    const char* ref_filter;
    bool alpha;
    int want_width, want_height;
    int64_t want_rate, want_scale;
    const char* want_note;
  } const cases[] = {
      {"h264 yuv420p mp4", "h264.mp4", {}, "stream=pix_fmt", "yuv420p", {}, "", false, 160, 90, 25, 1, nullptr},
      {"10-bit HEVC", "hevc10.mp4", {}, "stream=pix_fmt", "yuv420p10le", {}, "", false, 160, 90, 25, 1, nullptr},
      // ffmpeg turns it upright itself.
      {"phone clip turned by its display matrix", "rotated.mp4", {}, "stream_side_data=rotation", "90", {}, "",
       false, 90, 160, 25, 1, nullptr},
      {"anamorphic 720x576", "anamorphic.mp4", {}, "stream=sample_aspect_ratio", "64:45", {}, "scale=iw*sar:ih",
       false, 1024, 576, 25, 1, nullptr},
      {"variable rate, --fps 10", "vfr.mkv", {"--fps", "10"}, "stream=r_frame_rate", "25/1", {}, "fps=10", false,
       160, 90, 10, 1, nullptr},
      {"variable rate at the stream's rate", "vfr.mkv", {}, "stream=r_frame_rate", "25/1", {}, "fps=25", false, 160,
       90, 25, 1, nullptr},
      {"60 fps brought to 30", "60fps.mp4", {}, "stream=r_frame_rate", "60/1", {}, "fps=30", false, 160, 90, 30, 1,
       "runs at 60 fps; the GIF keeps one frame in 2, at 30 fps"},
      {"--start, --duration, --fps, --width", "h264.mp4",
       {"--start", "0.2", "--duration", "0.4", "--fps", "10", "--width", "80"}, "stream=pix_fmt", "yuv420p",
       {"-ss", "0.2", "-t", "0.4"}, "fps=10,scale=80:-1", false, 80, 45, 10, 1, nullptr},
      {"PNG sequence with alpha", "alpha_png", {}, "stream=pix_fmt", "rgba", {}, "", true, 64, 64, 25, 1,
       "has an alpha channel"},
      {"WebM VP9 with alpha", "alpha.webm", {}, "stream_tags=alpha_mode", "1", {"-c:v", "libvpx-vp9"}, "", true, 64,
       64, 10, 1, "has an alpha channel"},
      // GIF frames are decoded with an alpha channel: the export is masked.
      {"animated GIF", "animated.gif", {}, "stream=codec_name", "gif", {}, "", true, 160, 90, 25, 1,
       "has an alpha channel"},
      {"WebM with alpha, --no-alpha", "alpha.webm", {"--no-alpha"}, "stream_tags=alpha_mode", "1", {}, "", false, 64,
       64, 10, 1, nullptr},
      // The alpha decides what is transparent before the picture is dithered.
      {"PNG sequence with alpha, --dither ordered", "alpha_png", {"--dither", "ordered"}, "stream=pix_fmt", "rgba",
       {}, "", true, 64, 64, 25, 1, "has an alpha channel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string clip = Clip(c.clip);
    ASSERT_FALSE(clip.empty());
    ASSERT_TRUE(HaveWant(Probe(clip, c.probe_entry), std::string(c.want_probe))) << "ffprobe " << c.probe_entry;

    const std::string output = TempPath("out.gif");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", output, clip});
    const Outcome run = RunHost(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(Contains(run.err, "warning")) << run.err;
    if (c.want_note != nullptr) {
      EXPECT_TRUE(Contains(run.err, c.want_note)) << run.err;
    }

    std::vector<std::string> ref_input = c.ref_input;
    ref_input.insert(ref_input.end(), {"-i", clip});
    const std::vector<RefFrame> ref = ReferenceFrames(ref_input, c.ref_filter, c.alpha, c.want_width, c.want_height);
    const Playback gif = Play(output);
    EXPECT_TRUE(HaveWant(gif.width, c.want_width)) << "width";
    EXPECT_TRUE(HaveWant(gif.height, c.want_height)) << "height";
    // At the times of ffmpeg's frames.
    ExpectFramesMatch(gif, ref, WantDelays(static_cast<int>(ref.size()), c.want_rate, c.want_scale), c.alpha,
                      std::find(c.args.begin(), c.args.end(), "--dither") != c.args.end());
  }
}

// ------------------------------------------------------------ bad input

// `clip` with its first `percent` % of bytes, as `name`.
std::string CutShort(const std::string& clip, int percent, const std::string& name) {
  Bytes bytes = ReadFile(clip);
  bytes.resize(bytes.size() * static_cast<size_t>(percent) / 100);
  const std::string path = TempPath(name);
  EXPECT_TRUE(WriteBytes(path, bytes)) << path;
  return path;
}

TEST(HostVideo, InputThatCannotBeExportedHasItsMessageAndStatus) {
  const std::string h264 = Clip("h264.mp4"), h264_mkv = Clip("h264.mkv"), audio = Clip("audio.m4a"),
                    wide = Clip("wide.png");
  ASSERT_FALSE(h264.empty() || h264_mkv.empty() || audio.empty() || wide.empty());
  const std::string text = TempPath("notes.txt");
  ASSERT_TRUE(WriteBytes(text, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'v', 'i', 'd', 'e', 'o', '\n'}));
  // A Matroska file whose codec ID names a codec nobody has.
  Bytes unknown = ReadFile(h264_mkv);
  const std::string avc = "V_MPEG4/ISO/AVC";
  const auto at = std::search(unknown.begin(), unknown.end(), avc.begin(), avc.end());
  ASSERT_NE(at, unknown.end());
  const std::string none = "V_LODRA/NO/NONE";
  std::copy(none.begin(), none.end(), at);
  const std::string unknown_codec = TempPath("unknown.mkv");
  ASSERT_TRUE(WriteBytes(unknown_codec, unknown));
  // h264.mp4 keeps its index (the moov box) at the end.
  const std::string no_index = CutShort(h264, 60, "no_index.mp4");
  const std::string raw = TempPath("frames.raw");
  ASSERT_TRUE(WriteBytes(raw, RawStream(4, 4, 2)));
  const std::string output = TempPath("out.gif");

  const FailureCase cases[] = {
      {"not a media file", {"-o", output, text}, 5, "is not a video or picture file FFmpeg can read"},
      {"no such file", {"-o", output, TempPath("nothing.mp4")}, 5, "cannot open"},
      {"audio only", {"-o", output, audio}, 5, "has no video stream (only audio)"},
      {"a codec no decoder takes", {"-o", output, unknown_codec}, 5,
       "cannot be decoded by this build's FFmpeg libraries"},
      {"mp4 cut before its index", {"-o", output, no_index}, 5, "moov atom not found"},
      {"--start past the end", {"--start", "5", "-o", output, h264}, 2, "--start 5.00 s is not before the end"},
      {"--start in the last half frame", {"--start", "0.79", "-o", output, h264}, 2, "has no frame at or after"},
      {"picture wider than a GIF", {"-o", output, wide}, 2, "shows 70000x2, more than the plug-in takes"},
      {"video option on raw frames", {"--size", "4x4", "--rate", "25", "--fps", "10", "-o", output, raw}, 2,
       "--fps works on video files"},
      {"--mask-threshold without --mask", {"--mask-threshold", "20", "-o", output, h264}, 2, "give --mask too"},
      {"--rate alone with a video file", {"--rate", "10", "-o", output, h264}, 2, "a video file takes neither"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(output.c_str());
    const Outcome run = RunHost(c.args);
    ExpectFailedRun(run.status, run.err, c, output);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "one line: " << run.err;
  }
}

TEST(HostVideo, DamagedInputGivesWhatDecodesAndOneWarning) {
  const std::string h264 = Clip("h264.mp4"), h264_mkv = Clip("h264.mkv"), first = Clip("moov_first.mp4");
  ASSERT_FALSE(h264.empty() || h264_mkv.empty() || first.empty());
  // Packets 6, 7 and 12 with a NAL unit length that runs past the packet:
  // the decoder refuses them.
  std::string positions;
  ASSERT_TRUE(Ffprobe({"-select_streams", "v:0", "-show_entries", "packet=pos", "-of", "csv=p=0", h264}, &positions));
  std::vector<long> pos;
  for (size_t at = 0; at < positions.size();) {
    const size_t end = positions.find('\n', at);
    pos.push_back(std::stol(positions.substr(at, end - at)));
    at = end == std::string::npos ? positions.size() : end + 1;
  }
  ASSERT_GT(pos.size(), 12u);
  Bytes corrupt = ReadFile(h264);
  for (int packet : {6, 7, 12}) {
    const uint8_t too_long[] = {0x7F, 0xFF, 0xFF, 0xFF};
    std::copy(std::begin(too_long), std::end(too_long), corrupt.begin() + pos[static_cast<size_t>(packet)]);
  }
  const std::string corrupt_path = TempPath("corrupt.mp4");
  ASSERT_TRUE(WriteBytes(corrupt_path, corrupt));
  std::string counts;
  ASSERT_TRUE(Ffprobe({"-count_frames", "-count_packets", "-select_streams", "v:0", "-show_entries",
                       "stream=nb_read_packets,nb_read_frames", "-of", "csv=p=0", corrupt_path},
                      &counts));
  const int frames = std::stoi(counts), packets = std::stoi(counts.substr(counts.find(',') + 1));

  struct Case {
    const char* what;
    std::string clip;
    std::string want_warning;
  } const cases[] = {
      {"mp4 cut short, index first", CutShort(first, 60, "cut.mp4"), "before the 0.80 s it states (a truncated file?)"},
      {"Matroska cut short", CutShort(h264_mkv, 60, "cut.mkv"), "before the 0.80 s it states (a truncated file?)"},
      {"packets the decoder refuses", corrupt_path,
       std::to_string(packets - frames) + " frames could not be decoded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string output = TempPath("out.gif");
    const Outcome run = RunHost({"-o", output, c.clip});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, c.want_warning)) << run.err;
    EXPECT_EQ(CountOf(run.err, "warning:"), 1) << run.err;
    // ffmpeg's fps filter fills a lost frame's time with the one before, too.
    const std::vector<RefFrame> ref = ReferenceFrames({"-i", c.clip}, "fps=25", false, 160, 90);
    ExpectFramesMatch(Play(output), ref, WantDelays(static_cast<int>(ref.size()), 25, 1), false);
  }

  // Decoding runs ahead of the export: an end it meets after the last frame
  // asked for cuts nothing from the GIF. (The frame cut in two is still
  // counted as one that could not be decoded.)
  const std::string cut = CutShort(first, 60, "cut.mp4"), output = TempPath("out.gif");
  const size_t whole = ReferenceFrames({"-i", cut}, "fps=25", false, 160, 90).size();
  ASSERT_GT(whole, 2u);
  const Outcome run = RunHost({"--frames", std::to_string(whole - 1), "-o", output, cut});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(Contains(run.err, "ends there")) << run.err;
  EXPECT_TRUE(HaveWant(FramesAsPlayed(Play(output), WantDelays(static_cast<int>(whole - 1), 25, 1)).size(), whole - 1));
}

// ------------------------------------------------------------ masks

TEST(HostVideo, MaskThresholdMakesNearBlackMaskPixelsTransparent) {
  // The Earth beside its mask, through h264 at crf 28: the black around the
  // Earth is no longer pure black, so without a threshold stray pixels
  // stay opaque.
  const std::string clip = Clip("side_by_side.mp4");
  ASSERT_FALSE(clip.empty());
  const int w = 96, h = 88;
  const std::vector<RefFrame> ref = ReferenceFrames({"-i", clip}, "", false, 2 * w, h);
  ASSERT_FALSE(ref.empty());
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int threshold;  // mask pixels with every channel at most this are transparent
  } const cases[] = {
      {"--mask alone: only pure black", {"--mask"}, 0},
      {"--mask-threshold 40", {"--mask", "--mask-threshold", "40"}, 40},
  };
  int stray[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.what);
    const std::string output = TempPath("out.gif");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", output, clip});
    const Outcome run = RunHost(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<ShownPicture> frames =
        FramesAsPlayed(Play(output), WantDelays(static_cast<int>(ref.size()), 25, 1));
    ASSERT_TRUE(HaveWant(frames.size(), ref.size()));
    int wrong = 0;
    for (size_t n = 0; n < ref.size(); ++n) {
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const uint8_t* m = ref[n].At(w + x, y);
          const bool want_clear = m[0] <= c.threshold && m[1] <= c.threshold && m[2] <= c.threshold;
          const bool clear = frames[n].pixels[static_cast<size_t>(y) * w + x] == 0;
          wrong += clear != want_clear;
          stray[k] += !clear && m[0] <= 40 && m[1] <= 40 && m[2] <= 40;
        }
      }
    }
    EXPECT_EQ(wrong, 0) << "pixels whose transparency is not the decoded mask's";
  }
  EXPECT_GT(stray[0], 0) << "the lossy mask leaves near-black opaque pixels without a threshold";
  EXPECT_EQ(stray[1], 0);
}

// ------------------------------------------------------------ what the user sees

TEST(HostVideo, ProgressBarKnowsTheTotal) {
  const std::string clip = Clip("h264.mp4");
  ASSERT_FALSE(clip.empty());
  struct Case {
    std::vector<std::string> args;
    const char* want;
  } const cases[] = {
      {{}, "20/20 frames"},
      {{"--duration", "0.4"}, "10/10 frames"},
      {{"--fps", "10"}, "8/8 frames"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    const std::string output = TempPath("out.gif");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", output, clip});
    HostProcess host;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, Stdin::kNull, "", true));
    ASSERT_EQ(host.Wait(), 0) << host.err;
    EXPECT_TRUE(Contains(host.err, c.want)) << host.err;
  }
}

TEST(HostVideo, CtrlCWhileDecodingWaitsOnAFifo) {
  // A FIFO that gives part of a stream and then nothing: the decoding thread
  // blocks in a read that never returns by itself.
  const std::string clip = Clip("h264.mp4");
  ASSERT_FALSE(clip.empty());
  const std::string stream = TempPath("stream.ts");
  ASSERT_TRUE(Ffmpeg({"-stream_loop", "4", "-i", clip, "-c", "copy", "-f", "mpegts", stream}));
  Bytes bytes = ReadFile(stream);
  bytes.resize(bytes.size() / 2);
  const std::string fifo = TempPath("input.fifo");
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string output = TempPath("out.gif");

  HostProcess host;
  ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"-o", output, fifo}, Stdin::kNull));
  const int writer = open(fifo.c_str(), O_WRONLY);  // once the host opens it
  ASSERT_GE(writer, 0);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(writer, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
  // Everything taken, and time to encode what it gave.
  for (int unread = 1; unread > 0;) {
    ASSERT_EQ(ioctl(writer, FIONREAD, &unread), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  host.Interrupt();
  const int status = host.Wait(std::chrono::seconds(30));
  close(writer);

  EXPECT_TRUE(HaveWant(status, 130)) << host.err;
  EXPECT_TRUE(Contains(host.err, "interrupted")) << host.err;
  const Playback gif = Play(output);
  EXPECT_GT(gif.pictures.size(), 0u);
  EXPECT_EQ(gif.comments.size(), 1u) << "closed off with the comment and trailer";
}

}  // namespace
