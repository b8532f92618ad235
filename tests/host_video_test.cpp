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
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/cli/progress.h"
#include "host/sources/still_pictures.h"
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
      {"animated GIF", "animated.gif", {}, "stream=codec_name", "gif", {}, "", true, 160, 90, 25, 1, nullptr},
      {"--crop of a turned clip", "rotated.mp4", {"--crop", "40x60+10+20"}, "stream_side_data=rotation", "90", {},
       "crop=40:60:10:20", false, 40, 60, 25, 1, nullptr},
      {"--crop of anamorphic pixels, then --width", "anamorphic.mp4", {"--crop", "512x288+256+144", "--width", "256"},
       "stream=sample_aspect_ratio", "64:45", {}, "scale=iw*sar:ih,crop=512:288:256:144,scale=256:-1", false, 256,
       144, 25, 1, nullptr},
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
    // These clips are small enough for a GIF ten times their size: that
    // warning aside, none.
    EXPECT_EQ(CountOf(run.err, "warning:"), CountOf(run.err, "times its input's")) << run.err;
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

// ------------------------------------------------------------ the command line

namespace fs = std::filesystem;

// `text` with every "{in}" and "{out}" replaced.
std::string Placed(std::string text, const std::string& in, const std::string& out) {
  for (const auto& [from, to] : {std::make_pair(std::string("{in}"), in), std::make_pair(std::string("{out}"), out)}) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  }
  return text;
}

TEST(HostVideo, CommandLineCases) {
  // The clips under plain names: the GIFs of several inputs are named after
  // them. h264.mkv has the name of h264.mp4 without its extension.
  const std::string in = TempPath("in"), out = TempPath("out");
  fs::remove_all(in);
  fs::create_directories(in + "/other");
  for (const auto& [clip, name] : std::map<std::string, std::string>{
           {"h264.mp4", "h264.mp4"}, {"h264.mkv", "other/h264.mkv"}, {"vfr.mkv", "vfr.mkv"},
           {"anamorphic.mp4", "short.mp4"}}) {
    const std::string path = Clip(clip);
    ASSERT_FALSE(path.empty());
    fs::copy_file(path, in + "/" + name);
  }
  ASSERT_TRUE(WriteBytes(in + "/broken.mp4", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'v', 'i', 'd', 'e', 'o', '\n'}));

  struct Case {
    const char* what;
    std::vector<std::string> args;  // {in}: the clips' folder; {out}: an empty one
    int want_status;
    std::vector<std::string> want_said;  // parts of what it says on standard error
    int want_lines;                      // lines it says
    std::map<std::string, int> want_gifs;  // every file in {out}, and the 25 fps frames it plays
  } const cases[] = {
      {"a typing slip", {"--widht", "80", "{in}/h264.mp4", "-o", "{out}/a.gif"}, 2,
       {"unknown option --widht; did you mean --width?"}, 2, {}},
      // Large for what it holds: no summary, no warning.
      {"--quiet", {"--quiet", "--width", "320", "{in}/h264.mp4", "-o", "{out}/q.gif"}, 0, {}, 0, {{"q.gif", 20}}},
      {"--quiet still says errors", {"-q", "{in}/broken.mp4", "-o", "{out}/b.gif"}, 5,
       {"is not a video or picture file"}, 1, {}},
      {"a GIF large for what it holds", {"--width", "320", "{in}/h264.mp4", "-o", "{out}/big.gif"}, 0,
       {"times its input's 6", "a smaller --width or a lower --fps makes it smaller"}, 2, {{"big.gif", 20}}},
      {"one input into a folder to be made", {"--frames", "5", "{in}/h264.mp4", "-o", "{out}/new/"}, 0,
       {"wrote {out}/new/h264.gif: 5 frames"}, 1, {{"new/h264.gif", 5}}},
      // From here on small GIFs, none large for what it holds.
      {"three inputs, one broken",
       {"--frames", "5", "--width", "40", "{in}/h264.mp4", "{in}/broken.mp4", "{in}/vfr.mkv", "-o", "{out}/gifs/"}, 5,
       {"{in}/broken.mp4 is not a video", "wrote {out}/gifs/h264.gif", "wrote {out}/gifs/vfr.gif",
        "2 of 3 GIFs written in {out}/gifs/; 1 failed"},
       4, {{"gifs/h264.gif", 5}, {"gifs/vfr.gif", 5}}},
      {"one at a time", {"--frames", "5", "--width", "40", "--jobs", "1", "{in}/vfr.mkv", "{in}/h264.mp4", "-o", "{out}"},
       0, {"2 GIFs written in {out}"}, 3, {{"vfr.gif", 5}, {"h264.gif", 5}}},
      // The status is the first failed input's, in the order given.
      {"broken, then --start past the end",
       {"--start", "0.5", "--frames", "5", "--width", "40", "{in}/broken.mp4", "{in}/short.mp4", "{in}/h264.mp4", "-o",
        "{out}/"},
       5, {"is not before the end", "1 of 3 GIFs written in {out}/; 2 failed"}, 4, {{"h264.gif", 5}}},
      {"--start past the end, then broken",
       {"--start", "0.5", "--frames", "5", "--width", "40", "{in}/short.mp4", "{in}/broken.mp4", "{in}/h264.mp4", "-o",
        "{out}/"},
       2, {"is not a video"}, 4, {{"h264.gif", 5}}},
      // Refused before anything starts.
      {"one name twice", {"{in}/h264.mp4", "{in}/other/h264.mkv", "-o", "{out}/gifs/"}, 2,
       {"\"{in}/h264.mp4\" and \"{in}/other/h264.mkv\" would both make {out}/gifs/h264.gif"}, 1, {}},
      {"several inputs to one file", {"{in}/h264.mp4", "{in}/vfr.mkv", "-o", "{out}/all.gif"}, 2,
       {"2 INPUTs make a GIF each: give -o a folder for them"}, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out);
    fs::create_directories(out);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(Placed(arg, in, out));
    const Outcome run = RunHost(args);
    EXPECT_TRUE(HaveWant(run.status, c.want_status)) << run.err;
    for (const std::string& part : c.want_said) {
      EXPECT_TRUE(Contains(run.err, Placed(part, in, out))) << run.err;
    }
    EXPECT_TRUE(HaveWant(static_cast<int>(std::count(run.err.begin(), run.err.end(), '\n')), c.want_lines)) << run.err;
    std::map<std::string, int> gifs;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      if (!entry.is_regular_file()) continue;
      int hundredths = 0;
      for (const ShownPicture& picture : Play(entry.path()).pictures) hundredths += picture.delay;
      gifs[fs::relative(entry.path(), out).string()] = hundredths / 4;  // repeats merged count as they play
    }
    EXPECT_TRUE(HaveWant(gifs, c.want_gifs));
  }
}

// ------------------------------------------------------- the picture's options

// Each case: the command line, then what comes of it: the status, a fragment
// the messages hold (and one they must not), the GIF's size, its frames and
// how long it plays (hundredths).
TEST(HostVideo, PictureOptionsAndInputsGiveTheirSizeFramesAndMessages) {
  const std::string h264 = Clip("h264.mp4"), side = Clip("side_by_side.mp4"), pngs = Clip("alpha_png"),
                    soft = Clip("soft_alpha_png"), gif = Clip("animated.gif"),
                    side_rotated = Clip("side_by_side_rotated.mp4");
  ASSERT_FALSE(h264.empty() || side.empty() || pngs.empty() || soft.empty() || gif.empty() || side_rotated.empty());
  char first_png[1024], second_png[1024];
  std::snprintf(first_png, sizeof first_png, pngs.c_str(), 1);
  std::snprintf(second_png, sizeof second_png, pngs.c_str(), 2);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int want_status;
    const char* want_message;
    const char* unwanted_message;
    int want_width, want_height;
    size_t want_frames;
    int want_playing;
  } const cases[] = {
      // side_by_side.mp4: a 96x88 picture and its mask, 3 frames.
      {"--mask --width is the GIF's", {"--mask", "--width", "48", side}, 0, "", "warning", 48, 44, 3, 12},
      {"--mask --width 1", {"--mask", "--width", "1", side}, 0, "", "warning", 1, 1, 3, 12},
      {"--mask --max-width", {"--mask", "--max-width", "48", side}, 0, "", "warning", 48, 44, 3, 12},
      {"--mask --crop cuts both halves", {"--mask", "--crop", "40x30+50+50", side}, 0, "", "warning", 40, 30, 3, 12},
      // Each half turned on its own: turned whole, the halves would stack
      // and the GIF would be 44x192.
      {"--mask on a turned clip", {"--mask", side_rotated}, 0, "", "warning", 88, 96, 3, 12},
      {"--crop outside the picture", {"--mask", "--crop", "40x30+60+50", side}, 2,
       "reaches outside", "", 0, 0, 0, 0},
      // h264.mp4: 160x90, 20 frames at 25 fps.
      {"--max-width shrinks", {"--max-width", "80", h264}, 0, "", "warning", 80, 45, 20, 80},
      {"--max-height never enlarges", {"--max-height", "400", h264}, 0, "", "warning", 160, 90, 20, 80},
      {"--speed 2: every frame at 50 fps", {"--speed", "2", h264}, 0, "", "warning", 160, 90, 20, 40},
      {"--speed 2 --fps 25: one frame in two", {"--speed", "2", "--fps", "25", h264}, 0, "", "warning", 160, 90,
       10, 40},
      {"--speed 2 from --start 0.4 s of the video", {"--speed", "2", "--start", "0.4", h264}, 0, "", "warning",
       160, 90, 10, 20},
      {"--speed 0.5 for --duration 0.2 s of the video", {"--speed", "0.5", "--duration", "0.2", h264}, 0, "",
       "warning", 160, 90, 5, 40},
      {"--speed 4 is brought to 50 fps", {"--speed", "4", h264}, 0, "runs at 100 fps at --speed", "warning", 160,
       90, 10, 20},
      // alpha_png: ten 64x64 pictures.
      {"an image sequence plays at 25 fps", {pngs}, 0, "has an alpha channel", "warning", 64, 64, 10, 40},
      {"--rate 10: each picture 1/10 s", {"--rate", "10", pngs}, 0, "", "warning", 64, 64, 10, 100},
      {"--rate 10 --fps 5: one picture in two", {"--rate", "10", "--fps", "5", pngs}, 0, "", "warning", 64, 64, 5,
       100},
      {"--rate on one picture", {"--rate", "2", first_png}, 0, "", "warning", 64, 64, 1, 50},
      {"several pictures: one GIF, in turn", {"--rate", "5", first_png, second_png, first_png}, 0, "", "warning", 64,
       64, 3, 60},
      {"a picture and a video: a folder asked for", {first_png, h264}, 2, "give -o a folder", "", 0, 0, 0, 0},
      {"alpha that never reaches the threshold", {soft}, 0, "below --alpha-threshold 128, so every pixel",
       "has an alpha channel", 64, 64, 10, 40},
      {"... a lower threshold", {"--alpha-threshold", "100", soft}, 0, "has an alpha channel", "warning", 64, 64,
       10, 40},
      {"an opaque GIF: no alpha note", {gif}, 0, "", "alpha", 160, 90, 20, 80},
      {"--speed on raw frames", {"--speed", "2", "--size", "4x4", "--rate", "1", "-"}, 2,
       "--speed works on video files", "", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string output = TempPath("out.gif");
    std::remove(output.c_str());
    std::vector<std::string> args = c.args;
    // The frames as the plug-in writes them: merged repeats would hide
    // which pictures were chosen.
    args.insert(args.end(), {"--no-optimize", "-o", output});
    const Outcome run = RunHost(args);
    ASSERT_TRUE(HaveWant(run.status, c.want_status)) << run.err;
    EXPECT_TRUE(Contains(run.err, c.want_message)) << run.err;
    if (*c.unwanted_message != '\0') {
      EXPECT_FALSE(Contains(run.err, c.unwanted_message)) << run.err;
    }
    if (c.want_status != 0) continue;
    const DecodedGif have = Decode(output);
    EXPECT_TRUE(HaveWant(have.width, c.want_width)) << "width";
    EXPECT_TRUE(HaveWant(have.height, c.want_height)) << "height";
    EXPECT_TRUE(HaveWant(have.frames.size(), c.want_frames)) << "frames";
    int playing = 0;
    for (const DecodedFrame& frame : have.frames) playing += frame.delay;
    EXPECT_TRUE(HaveWant(playing, c.want_playing)) << "playing time, hundredths";
  }
}

// ------------------------------------------------------- still pictures

// Several pictures as one sequence, opened in this process (the video
// module is beside the test): the frames it gives, or why it stops.
TEST(HostVideo, StillPicturesAreOneSequenceAtTheFirstOnesSize) {
  const std::string pngs = Clip("alpha_png"), narrow = Clip("narrow.png"), wide = Clip("wide.png");
  ASSERT_FALSE(pngs.empty() || narrow.empty() || wide.empty());
  std::vector<std::string> png;
  for (int n = 1; n <= 4; ++n) {
    char path[1024];
    std::snprintf(path, sizeof path, pngs.c_str(), n);
    png.push_back(path);
  }
  struct Case {
    const char* what;
    std::vector<std::string> pictures;
    std::vector<std::string> args;
    lodra_gif::OpenFailure want_failure;
    std::string want_message;  // the refusal, or the error that ends the frames
    int want_width, want_height;  // the frame handed over, a mask half included
    int64_t want_frames;
  } const cases[] = {
      {"alpha pictures at 25 fps", {png[0], png[1], png[2]}, {}, lodra_gif::OpenFailure::kNone, "", 128, 64, 3},
      {"--rate 10 --fps 5: one in two", png, {"--rate", "10", "--fps", "5"}, lodra_gif::OpenFailure::kNone, "", 128,
       64, 2},
      {"--rate 5 --fps 10: each twice", {png[0], png[1]}, {"--rate", "5", "--fps", "10"},
       lodra_gif::OpenFailure::kNone, "", 128, 64, 4},
      {"an opaque first: the rest opaque, scaled to it", {narrow, png[0], png[1]}, {}, lodra_gif::OpenFailure::kNone,
       "", 1, 8, 3},
      {"--width sizes the first; a huge one is scaled to it", {png[0], wide, png[1]}, {"--no-alpha", "--width", "32"},
       lodra_gif::OpenFailure::kNone, "", 32, 32, 3},
      {"alpha first, then none", {png[0], narrow}, {}, lodra_gif::OpenFailure::kNone,
       narrow + " has no alpha channel, unlike " + png[0], 128, 64, 1},
      {"a picture missing", {png[0], png[1], TempPath("gone.png"), png[2]}, {}, lodra_gif::OpenFailure::kNone,
       "cannot open " + TempPath("gone.png"), 128, 64, 2},
      {"--start", png, {"--start", "1"}, lodra_gif::OpenFailure::kUsage,
       "--start works on one video file, not on a sequence of pictures", 0, 0, 0},
      {"raw-only --size", png, {"--size", "4x4"}, lodra_gif::OpenFailure::kUsage, "--size works on", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<const char*> argv = {"lodra-gif", "-o", "out.gif"};
    for (const std::string& arg : c.args) argv.push_back(arg.c_str());
    lodra_gif::Options options;
    std::string error;
    ASSERT_TRUE(lodra_gif::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &options, &error)) << error;
    lodra_gif::OpenFailure failure = lodra_gif::OpenFailure::kNone;
    std::unique_ptr<lodra_gif::FrameSource> source =
        lodra_gif::OpenStillPictures(c.pictures, options, nullptr, &failure, &error);
    ASSERT_TRUE(HaveWant(failure, c.want_failure)) << error;
    if (source == nullptr) {
      EXPECT_TRUE(Contains(error, c.want_message)) << error;
      continue;
    }
    const lodra_gif::SourcePlan& plan = source->plan();
    EXPECT_TRUE(HaveWant(plan.frame, lodra_gif::FrameSize{c.want_width, c.want_height}));
    int64_t frames = 0;
    lodra_gif::ReadResult result;
    uint8_t* frame = nullptr;
    while ((result = source->Next(&frame)) == lodra_gif::ReadResult::kFrame) ++frames;
    EXPECT_TRUE(HaveWant(frames, c.want_frames));
    const lodra_gif::InputEnd end = source->Finish(result, frames);
    EXPECT_TRUE(HaveWant(result == lodra_gif::ReadResult::kError, !c.want_message.empty()));
    EXPECT_TRUE(Contains(end.error, c.want_message)) << end.error;
    if (c.want_message.empty()) {
      EXPECT_TRUE(HaveWant(plan.length, std::optional<int64_t>(c.want_frames)));
    }
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
                    wide = Clip("wide.png"), narrow = Clip("narrow.png");
  ASSERT_FALSE(h264.empty() || h264_mkv.empty() || audio.empty() || wide.empty() || narrow.empty());
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
      {"--mask on a picture 1 pixel wide", {"--mask", "-o", output, narrow}, 2,
       "size 1x8: mask mode needs frames at least 2 pixels wide"},
      {"video option on raw frames", {"--size", "4x4", "--rate", "25", "--fps", "10", "-o", output, raw}, 2,
       "--fps works on video files"},
      {"--mask-threshold without --mask", {"--mask-threshold", "20", "-o", output, h264}, 2, "give --mask too"},
      {"--rate with a video of its own rate", {"--rate", "10", "-o", output, h264}, 2, "has a rate of its own"},
      {"--rate alone with raw frames", {"--rate", "10", "-o", output, raw}, 5, "raw frames need --size WxH too"},
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

// ------------------------------------------------------------ hostile input

namespace fs = std::filesystem;

// A run ends within this whatever its input claims: a playlist waited on
// for more would not.
constexpr std::chrono::seconds kHostileRunLimit(60);
// The most a run on hostile input may hold resident: lodra-gif with FFmpeg's
// libraries takes about 40 MiB; the inputs below asked for gigabytes.
constexpr long kHostilePeakKib = 256 * 1024;

void PutBigEndian(Bytes* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

// A GIF whose logical screen is `width` x `height`, holding `frames` images
// of one pixel each: a few bytes that declare a huge picture.
Bytes GifDeclaring(int width, int height, int frames) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a'};
  for (int side : {width, height}) gif.insert(gif.end(), {static_cast<uint8_t>(side), static_cast<uint8_t>(side >> 8)});
  gif.insert(gif.end(), {0x80, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF});  // a global table of two colours
  for (int n = 0; n < frames; ++n) {
    gif.insert(gif.end(), {0x21, 0xF9, 4, 0, 4, 0, 0, 0});                         // 4/100 s
    gif.insert(gif.end(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0});  // one pixel
  }
  gif.push_back(0x3B);
  return gif;
}

// A zlib stream of `size` zero bytes, compressed as a deflater would: a
// literal zero, then copies of the 258 bytes before (length code 285,
// distance code 0), the rest as literals, in one block of the fixed codes.
// Huffman codes go out from their top bit, everything else from the bottom.
Bytes ZlibZeros(uint64_t size) {
  Bytes out = {0x78, 0x01};
  uint32_t bits = 0;
  int count = 0;
  auto put = [&](uint32_t value, int width) {
    bits |= value << count;
    for (count += width; count >= 8; count -= 8, bits >>= 8) out.push_back(static_cast<uint8_t>(bits));
  };
  auto code = [&](uint32_t value, int width) {
    for (int bit = width - 1; bit >= 0; --bit) put((value >> bit) & 1, 1);
  };
  put(1, 1);  // the last block
  put(1, 2);  // fixed codes
  uint64_t left = size;
  if (left > 0) {
    code(0x30, 8);  // literal 0
    --left;
  }
  for (; left >= 258; left -= 258) {
    code(0xC5, 8);  // length 258
    code(0, 5);     // distance 1
  }
  for (; left > 0; --left) code(0x30, 8);
  code(0, 7);  // end of block
  if (count > 0) out.push_back(static_cast<uint8_t>(bits));
  PutBigEndian(&out, static_cast<uint32_t>(size % 65521) << 16 | 1);  // Adler-32 of zeros
  return out;
}

// A 1-bit grey PNG of `width` x `height` all black, its pixels
// `aspect_x`:`aspect_y` when given: a few kilobytes that decode to a huge
// picture.
Bytes PngDeclaring(uint32_t width, uint32_t height, uint32_t aspect_x = 0, uint32_t aspect_y = 0) {
  auto crc32 = [](const Bytes& bytes, size_t from) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = from; i < bytes.size(); ++i) {
      crc ^= bytes[i];
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
  };
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&](const char* type, const Bytes& data) {
    PutBigEndian(&png, static_cast<uint32_t>(data.size()));
    const size_t from = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    PutBigEndian(&png, crc32(png, from));
  };
  Bytes header;
  PutBigEndian(&header, width);
  PutBigEndian(&header, height);
  header.insert(header.end(), {1, 0, 0, 0, 0});  // 1 bit, grey, no interlacing
  chunk("IHDR", header);
  if (aspect_x != 0) {
    Bytes aspect;
    PutBigEndian(&aspect, aspect_x);
    PutBigEndian(&aspect, aspect_y);
    aspect.push_back(0);  // a ratio, no unit
    chunk("pHYs", aspect);
  }
  // Each row a filter byte and its pixels: zeros throughout.
  chunk("IDAT", ZlibZeros(static_cast<uint64_t>(height) * (1 + (width + 7) / 8)));
  chunk("IEND", {});
  return png;
}

std::string TextOf(const std::string& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(HostVideo, HostileInputIsRefusedOrBoundedAndReadsOnlyWhatIsNamed) {
  const std::string master = Clip("master.mkv"), h264 = Clip("h264.mp4"), png = Clip("alpha_png");
  ASSERT_FALSE(master.empty() || h264.empty() || png.empty());
  char first_png[1024];
  std::snprintf(first_png, sizeof first_png, png.c_str(), 1);
  const std::string dir = TempPath("hostile");
  fs::remove_all(dir);
  fs::create_directory(dir);
  const auto put = [&](const std::string& name, const Bytes& bytes) {
    EXPECT_TRUE(WriteBytes(dir + "/" + name, bytes)) << name;
    return dir + "/" + name;
  };
  const auto copy = [&](const std::string& from, const std::string& name) { return put(name, ReadFile(from)); };

  // Playlists of clip.mp4 cut in segments of five frames, and an ffconcat
  // list, each saved with a video's name.
  ASSERT_TRUE(Ffmpeg({"-i", master, "-c:v", "libx264", "-g", "5", "-pix_fmt", "yuv420p", "-f", "hls", "-hls_time",
                      "0.2", "-hls_list_size", "0", "-hls_segment_filename", dir + "/seg%d.ts", dir + "/list.m3u8"}));
  std::string playlist = TextOf(dir + "/list.m3u8");
  ASSERT_TRUE(Contains(playlist, "seg3.ts\n#EXT-X-ENDLIST")) << playlist;
  const std::string ended = put("ended.mp4", Bytes(playlist.begin(), playlist.end()));
  playlist.erase(playlist.find("#EXT-X-ENDLIST"));
  const std::string live = put("live.mp4", Bytes(playlist.begin(), playlist.end()));
  copy(h264, "clip.mp4");
  const std::string list_text = "ffconcat version 1.0\nfile clip.mp4\n";
  const std::string list = put("list.mp4", Bytes(list_text.begin(), list_text.end()));

  // Transport streams joined: the second copy's clock restarts, or leaps
  // by an hour.
  const std::string a_ts = dir + "/a.ts", b_ts = dir + "/b.ts";
  ASSERT_TRUE(Ffmpeg({"-i", h264, "-c", "copy", "-f", "mpegts", a_ts}));
  ASSERT_TRUE(Ffmpeg({"-i", h264, "-c", "copy", "-output_ts_offset", "3600", "-f", "mpegts", b_ts}));
  Bytes joined = ReadFile(a_ts), leaping = ReadFile(a_ts);
  const Bytes a_bytes = ReadFile(a_ts), b_bytes = ReadFile(b_ts);
  joined.insert(joined.end(), a_bytes.begin(), a_bytes.end());
  leaping.insert(leaping.end(), b_bytes.begin(), b_bytes.end());
  const std::string restarting = put("restarting.ts", joined), jumping = put("jumping.ts", leaping);
  // ffmpeg's fps filter: the frames each gives.
  const size_t restarting_frames = ReferenceFrames({"-i", restarting}, "fps=25", false, 160, 90).size();
  const size_t jumping_frames = ReferenceFrames({"-i", jumping}, "fps=25", false, 160, 90).size();
  ASSERT_TRUE(HaveWant(restarting_frames, size_t{40})) << "ffmpeg's count: the two copies";
  ASSERT_TRUE(HaveWant(jumping_frames, size_t{40}));

  // Frames 0-9, then ten hours of nothing, then frames 10-19.
  const std::string gap = dir + "/gap.mkv";
  ASSERT_TRUE(Ffmpeg({"-i", master, "-vf", "setpts=PTS+gte(N\\,10)*36000/TB", "-fps_mode", "vfr", "-c:v", "libx264",
                      "-pix_fmt", "yuv420p", gap}));

  // Names FFmpeg would read as a pattern or a protocol, and files that
  // exist under the names it would read instead.
  const std::string shot = copy(first_png, "shot%d.png"), done = copy(first_png, "50%done.png");
  const std::string odd = copy(h264, "file:odd.mp4");
  const std::string concat_named = copy(h264, "concat:base.mp4");
  put("base.mp4", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'v', 'i', 'd', 'e', 'o'});
  copy(h264, "gone.mp4");
  const std::string concat_missing = dir + "/concat:gone.mp4";

  const std::string output = TempPath("out.gif");
  const std::string more = ", more than the 1.0 GiB --max-memory allows";
  struct Case {
    const char* what;
    std::string input;
    std::vector<std::string> args;
    int want_status;
    std::string want_message;
    size_t want_frames;  // of the GIF written; 0 when none is
  } const cases[] = {
      {"GIF declaring a 16000x16000 screen", put("screen.gif", GifDeclaring(16000, 16000, 1)), {}, 2,
       "screen.gif shows 16000x16000: exporting it needs 6.6 GiB of memory (3.8 GiB of it for the decoder's "
       "pictures)" + more, 0},
      {"50 frames of it", put("screens.gif", GifDeclaring(16000, 16000, 50)), {}, 2,
       "screens.gif shows 16000x16000", 0},
      {"1-bit PNG declaring 16000x16000", put("huge.png", PngDeclaring(16000, 16000)), {}, 2,
       "huge.png shows 16000x16000: exporting it needs", 0},
      {"PNG of pixels 255 times wider than tall", put("wide.png", PngDeclaring(257, 10900, 255, 1)), {}, 2,
       "wide.png shows 65535x10900: exporting it needs", 0},
      {"a clip above a lower --max-memory", h264, {"--max-memory", "64K"}, 2,
       "shows 160x90: exporting it needs", 0},
      {"HLS playlist named .mp4", live, {}, 5,
       "live.mp4 is an HLS playlist, which names other files for its pictures; they are read only with "
       "--allow-references", 0},
      {"HLS playlist with --allow-references", ended, {"--allow-references"}, 0, "wrote", 20},
      {"live HLS playlist (no end marker): read to its end, not waited on", live, {"--allow-references"}, 0,
       "wrote", 20},
      {"ffconcat list named .mp4", list, {}, 5, "list.mp4 is an ffconcat list", 0},
      {"ffconcat list with --allow-references", list, {"--allow-references"}, 0, "wrote", 20},
      {"MPEG-TS whose clock restarts", restarting, {}, 0, "wrote", restarting_frames},
      {"MPEG-TS that leaps an hour", jumping, {}, 0, "wrote", jumping_frames},
      // 0.4 s of frames, the still shortened to 60 s, 0.4 s more: at 1 fps
      // the last frame ends at 60.8 s.
      {"ten hours of nothing in an mkv", gap, {"--fps", "1"}, 0,
       "note: " + gap + ": a still of 36000.00 s after 0.40 s was shortened to 60.00 s (--max-gap)", 61},
      // The same with a 2 s bound at 25 fps: 0.4 + 2 + 0.4 s.
      {"--max-gap 2", gap, {"--max-gap", "2"}, 0, "shortened to 2.00 s", 70},
      {"a name with %d that exists", shot, {}, 0, "wrote", 1},
      {"a name with % that exists", done, {}, 0, "wrote", 1},
      {"a name with file: that exists", odd, {}, 0, "wrote", 20},
      {"a name with concat: that exists", concat_named, {}, 0, "wrote", 20},
      {"a name with concat: that does not", concat_missing, {}, 5,
       "cannot open " + concat_missing + ": No such file or directory", 0},
      // 0.8 s at 10 s a frame rounds to no frame: the one frame is kept.
      {"a clip shorter than half a frame", h264, {"--fps", "0.1"}, 0,
       "lasts 0.80 s, less than half a frame at 0.1 fps (10.00 s a frame): the GIF is one frame", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(output.c_str());
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", output, c.input});
    HostProcess host;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, Stdin::kNull));
    const int status = host.Wait(kHostileRunLimit);
    EXPECT_TRUE(HaveWant(status, c.want_status)) << host.err;
    EXPECT_TRUE(Contains(host.err, c.want_message)) << "have " << host.err << "want " << c.want_message;
    EXPECT_LE(host.peak_kib, kHostilePeakKib) << "peak resident KiB";
    if (c.want_frames == 0) {
      EXPECT_FALSE(FileExists(output)) << host.err;
      EXPECT_EQ(std::count(host.err.begin(), host.err.end(), '\n'), 1) << "one line: " << host.err;
    } else {
      // The frames the plug-in wrote; the GIF may merge the still ones.
      EXPECT_TRUE(Contains(host.err, "wrote " + output + ": " + lodra_gif::FormatFrames(c.want_frames)))
          << host.err;
      EXPECT_FALSE(Play(output).pictures.empty());
    }
  }
}

// A sanitizer's shadow memory counts against a data limit: such a build
// cannot run under one.
#if defined(__SANITIZE_ADDRESS__)
#define LODRA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LODRA_SANITIZED 1
#endif
#endif

TEST(HostVideo, RunningOutOfMemoryIsSaidSoWithTheSizeAskedFor) {
#ifdef LODRA_SANITIZED
  GTEST_SKIP() << "a data limit counts the sanitizer's shadow memory";
#endif
  // Within --max-memory, but not within the data limit: 8K pictures of
  // 50.6 MiB each, and raw frames of 183.1 MiB.
  const std::string huge = TempPath("8k.mp4");
  ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "color=c=gray:s=8192x4320:r=25:d=0.08", "-c:v", "libx264", "-preset",
                      "ultrafast", "-pix_fmt", "yuv420p", huge}));
  const std::vector<std::string> raw = {"--size", "8000x8000", "--rate", "10", "--frames", "1", "-"};
  struct Case {
    const char* what;
    std::vector<std::string> args;
    long data_limit;
    int want_status;
    const char* want_message;
  } const cases[] = {
      {"the host's frame", raw, 150L << 20, 1, "not enough memory for a 8000x8000 frame (183.1 MiB)"},
      {"the plug-in's buffers", raw, 200L << 20, 1,
       "the plug-in could not encode frame 1: not enough memory (its buffers for a 8000x8000 frame take up to "
       "336.8 MiB)"},
      {"the decoder's pictures", {"--width", "64", huge}, 64L << 20, 5,
       "not enough memory to decode its 8192x4320 pictures (50.6 MiB each)"},
  };
  const std::string output = TempPath("out.gif");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = c.args;
    args.insert(args.end() - 1, {"-o", output});
    HostProcess host;
    host.data_limit = c.data_limit;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, Stdin::kFile, "/dev/zero"));
    EXPECT_TRUE(HaveWant(host.Wait(), c.want_status)) << host.err;
    EXPECT_TRUE(Contains(host.err, c.want_message)) << "have " << host.err << "want " << c.want_message;
  }
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
    int x0 = 0, y0 = 0, cw = w, ch = h;  // the part kept
  } const cases[] = {
      {"--mask alone: only pure black", {"--mask"}, 0},
      {"--mask-threshold 40", {"--mask", "--mask-threshold", "40"}, 40},
      {"--crop: the same part of the mask", {"--mask", "--mask-threshold", "40", "--crop", "40x30+50+50"}, 40, 50,
       50, 40, 30},
  };
  int stray[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k) {
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
      for (int y = 0; y < c.ch; ++y) {
        for (int x = 0; x < c.cw; ++x) {
          const uint8_t* m = ref[n].At(w + c.x0 + x, c.y0 + y);
          const bool want_clear = m[0] <= c.threshold && m[1] <= c.threshold && m[2] <= c.threshold;
          const bool clear = frames[n].pixels[static_cast<size_t>(y) * c.cw + x] == 0;
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
  // The packet the stop cut short is no damage in the input.
  EXPECT_FALSE(Contains(host.err, "could not be decoded")) << host.err;
  const Playback gif = Play(output);
  EXPECT_GT(gif.pictures.size(), 0u);
  EXPECT_EQ(gif.comments.size(), 1u) << "closed off with the comment and trailer";
}

}  // namespace
