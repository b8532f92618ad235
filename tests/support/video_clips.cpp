#include "tests/support/video_clips.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "tests/support/host_fixture.h"
#include "tests/support/host_process.h"
#include "tests/support/temp_path.h"

namespace testing_support {
namespace {

// The program `name` on PATH, or "".
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t colon = folders.find(':', start);
    const std::string folder = folders.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return "";
}

bool RunTool(const std::string& name, const std::vector<std::string>& args, std::string* out) {
  static const std::string kInstall = " (scripts/install-deps.sh installs it)";
  const std::string program = FindProgram(name);
  if (program.empty()) {
    ADD_FAILURE() << name << " is not on PATH" << kInstall;
    return false;
  }
  HostProcess tool;
  if (!tool.Start(program, args, Stdin::kNull)) {
    ADD_FAILURE() << "cannot start " << program;
    return false;
  }
  const int status = tool.Wait();
  if (out != nullptr) *out = tool.out;
  if (status != 0) {
    std::string command = name;
    for (const std::string& arg : args) command += " " + arg;
    ADD_FAILURE() << command << " failed with status " << status << ": " << tool.err;
    return false;
  }
  return true;
}

// Clips live here between test programs: the suite runs every test in a
// process of its own, and most want the same few clips.
std::string Folder() { return TempFolder() + "/lodra_video_clips"; }

// A file or a folder: image sequence clips are folders.
bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// How each clip is made: ffmpeg's arguments, with {out} for where it goes
// and {name} for the path of another clip. `folder` clips are image
// sequences: {out} is a folder and the clip is the pattern in it.
struct Recipe {
  const char* name;
  std::vector<std::string> args;
  bool folder = false;
};

// The master: 20 frames of 160x90 at 25 fps, lossless. The Earth crosses the
// wallpaper and every colour turns by 14.4 degrees a frame, so that each
// frame differs from the next all over and a frame taken for another shows.
const std::vector<Recipe>& Recipes() {
  static const std::vector<Recipe> recipes = {
      {"master.mkv",
       {"-loop", "1", "-framerate", "25", "-i", kWallpaper, "-loop", "1", "-framerate", "25", "-i", kEarth,
        "-filter_complex",
        "[0]scale=160:90,setsar=1,format=rgb24[bg];[1]scale=48:-1[e];[bg][e]overlay=x='-48+t*200':y=20,"
        "hue=h=t*360,format=rgb24",
        "-frames:v", "20", "-c:v", "ffv1", "{out}"}},
      {"h264.mp4", {"-i", "{master.mkv}", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "{out}"}},
      {"hevc10.mp4",
       {"-i", "{master.mkv}", "-c:v", "libx265", "-x265-params", "log-level=none", "-pix_fmt", "yuv420p10le",
        "{out}"}},
      // A phone held upright: landscape pictures, turned by the display matrix.
      {"rotated.mp4", {"-i", "{h264.mp4}", "-c", "copy", "-metadata:s:v:0", "rotate=90", "{out}"}},
      // PAL 4:3 widescreen: 720x576 with pixels 64:45 wide.
      {"anamorphic.mp4",
       {"-i", "{master.mkv}", "-vf", "scale=720:576,setsar=64/45", "-frames:v", "5", "-c:v", "libx264", "-preset",
        "veryfast", "-pix_fmt", "yuv420p", "{out}"}},
      // Frames at 0, 0.08, 0.10, 0.18, 0.20, ... s: 50 and 12.5 fps by turns.
      {"vfr.mkv",
       {"-i", "{master.mkv}", "-vf", "setpts='(N*5+mod(N,2)*3)/(100*TB)'", "-fps_mode", "vfr", "-enc_time_base",
        "1/1000", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "{out}"}},
      {"60fps.mp4",
       {"-i", "{master.mkv}", "-vf", "fps=60", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
        "{out}"}},
      // The Earth turning, with its alpha channel: 10 frames of 64x64 at 10 fps.
      {"alpha_png",
       {"-loop", "1", "-framerate", "10", "-i", kEarth, "-vf", "scale=64:-1,rotate=a=t*2:c=none:ow=64:oh=64,format=rgba",
        "-frames:v", "10", "{out}/%04d.png"},
       true},
      // Soft: its alpha is at most 115, below the default threshold.
      {"soft_alpha_png", {"-i", "{alpha_png}", "-vf", "colorchannelmixer=aa=0.45", "{out}/%04d.png"}, true},
      {"alpha.webm",
       {"-framerate", "10", "-i", "{alpha_png}", "-c:v", "libvpx-vp9", "-pix_fmt", "yuva420p", "-auto-alt-ref", "0",
        "{out}"}},
      // The Earth beside its mask (its alpha as grey), through a lossy codec.
      {"side_by_side.mp4",
       {"-loop", "1", "-framerate", "25", "-i", kEarth, "-filter_complex",
        "[0]scale=96:88,format=rgba,split[a][b];[a]format=rgb24[p];[b]alphaextract,format=rgb24[m];[p][m]hstack,setsar=1",
        "-frames:v", "3", "-c:v", "libx264", "-crf", "28", "-pix_fmt", "yuv420p", "{out}"}},
      {"side_by_side_rotated.mp4", {"-i", "{side_by_side.mp4}", "-c", "copy", "-metadata:s:v:0", "rotate=90", "{out}"}},
      {"h264.mkv", {"-i", "{h264.mp4}", "-c", "copy", "{out}"}},
      {"animated.gif", {"-i", "{master.mkv}", "{out}"}},
      {"moov_first.mp4",
       {"-i", "{master.mkv}", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-movflags",
        "+faststart", "{out}"}},
      {"audio.m4a", {"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "{out}"}},
      {"narrow.png", {"-i", kWallpaper, "-vf", "scale=1:8,setsar=1", "-frames:v", "1", "-c:v", "png", "-update", "1", "{out}"}},
      {"wide.png", {"-i", kWallpaper, "-vf", "scale=70000:2,setsar=1", "-frames:v", "1", "-c:v", "png", "-update", "1", "{out}"}},
  };
  return recipes;
}

// Of the arguments with the clips they read already in: those paths carry
// their own keys, so a changed recipe makes every clip made from it anew.
std::string Key(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += arg + '\n';
  char key[32];
  std::snprintf(key, sizeof key, "%016zx", std::hash<std::string>()(text));
  return key;
}

}  // namespace

bool Ffmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-nostdin", "-v", "error", "-y"};
  all.insert(all.end(), args.begin(), args.end());
  return RunTool("ffmpeg", all, nullptr);
}

bool Ffprobe(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> all = {"-v", "error"};
  all.insert(all.end(), args.begin(), args.end());
  return RunTool("ffprobe", all, out);
}

std::string Probe(const std::string& clip, const std::string& entry) {
  std::string out;
  if (!Ffprobe({"-select_streams", "v:0", "-show_entries", entry, "-of", "default=nw=1:nk=1", clip}, &out)) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out.substr(0, out.find('\n'));
}

std::string Clip(const std::string& name) {
  for (const char* picture : {kWallpaper, kEarth}) {
    if (!Exists(picture)) {
      ADD_FAILURE() << picture << " is missing: the clips are made from desktop-base's pictures "
                    << "(scripts/install-deps.sh installs the package)";
      return "";
    }
  }
  for (const Recipe& recipe : Recipes()) {
    if (name != recipe.name) continue;
    std::vector<std::string> args;
    for (std::string arg : recipe.args) {
      if (arg.size() > 2 && arg.front() == '{' && arg.back() == '}' && arg != "{out}") {
        arg = Clip(arg.substr(1, arg.size() - 2));
        if (arg.empty()) return "";
      }
      args.push_back(arg);
    }
    const std::string folder = Folder();
    const std::string path = folder + "/" + Key(args) + "-" + recipe.name;
    const std::string clip = recipe.folder ? path + "/%04d.png" : path;
    if (Exists(path)) return clip;
    mkdir(folder.c_str(), 0755);
    // Made beside, then renamed: test programs running side by side may
    // make the same clip, and none may see half of one.
    const std::string part = path + ".part" + std::to_string(getpid());
    if (recipe.folder) mkdir(part.c_str(), 0755);
    for (std::string& arg : args)
      for (size_t at; (at = arg.find("{out}")) != std::string::npos;) arg.replace(at, 5, part);
    // The muxer is chosen by the name, which .partNNN hides.
    if (!recipe.folder) {
      const std::string extension = name.substr(name.rfind('.') + 1);
      args.insert(args.end() - 1, {"-f", extension == "mkv" ? "matroska" : extension == "m4a" ? "ipod"
                                         : extension == "png"                       ? "image2"
                                                                                    : extension});
    }
    if (!Ffmpeg(args)) return "";
    if (std::rename(part.c_str(), path.c_str()) != 0 && !Exists(path)) {
      ADD_FAILURE() << "cannot rename " << part << " to " << path;
      return "";
    }
    return clip;
  }
  ADD_FAILURE() << "no clip is called " << name;
  return "";
}

std::vector<RefFrame> ReferenceFrames(const std::vector<std::string>& input_args, const std::string& filter,
                                      bool alpha, int width, int height) {
  const std::string raw = TempPath("reference.raw");
  std::vector<std::string> args = input_args;
  if (!filter.empty()) args.insert(args.end(), {"-vf", filter});
  args.insert(args.end(), {"-f", "rawvideo", "-pix_fmt", alpha ? "bgra" : "bgr24", raw});
  std::vector<RefFrame> frames;
  if (!Ffmpeg(args)) return frames;
  const std::vector<uint8_t> bytes = ReadFile(raw);
  const int channels = alpha ? 4 : 3;
  const size_t frame_bytes = static_cast<size_t>(width) * height * channels;
  EXPECT_EQ(bytes.size() % frame_bytes, 0u) << "ffmpeg's frames are not " << width << "x" << height;
  for (size_t at = 0; at + frame_bytes <= bytes.size(); at += frame_bytes) {
    RefFrame frame;
    frame.width = width;
    frame.height = height;
    frame.channels = channels;
    frame.pixels.assign(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.begin() + static_cast<ptrdiff_t>(at + frame_bytes));
    frames.push_back(std::move(frame));
  }
  return frames;
}

}  // namespace testing_support
