// lodra-gif end to end: the program is run as a child process with the real
// plug-in module, and what it writes is decoded with giflib and compared,
// index by index, with what the quantiser gives for the frames fed in.
// Native only: it forks, pipes, signals and reads a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/cli/progress.h"
#include "host/sources/demo.h"
#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"
#include "tests/support/host_run.h"
#include "tests/support/host_process.h"

namespace {

using namespace testing_support;

// ------------------------------------------------------------ the demo

TEST(HostDemo, ExportsThreeSecondsOfTheDemoFrames) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool masked;
    int want_loop;
  } const cases[] = {
      {"plain, loop forever", {}, false, 0},
      {"mask mode, loop 3", {"--mask", "--loop", "3"}, true, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string output = TempPath("demo.gif");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", output});
    const Outcome run = RunHost(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "75 frames, 320x180, 3.00 s at 25 fps")) << run.err;

    const Playback gif = Play(output);
    // A few frames across the animation, pixel by pixel.
    ASSERT_NO_FATAL_FAILURE(ExpectDemoGif(gif, lodra_gif::kDemoPictureSize, c.masked, c.want_loop, 75, {0, 19, 40, 74}));
    int transparent = 0;
    for (uint32_t pixel : gif.pictures[0].pixels) transparent += pixel == 0;
    if (c.masked) {
      EXPECT_GT(transparent, 0) << "outside the ball is transparent";
    } else {
      EXPECT_EQ(transparent, 0);
    }
  }
}

// ----------------------------------------------------------- raw input

TEST(HostRawInput, FileAndPipeGiveTheQuantisersIndices) {
  const RawCase cases[] = {
      {"file, odd width (padded rows)", Stdin::kNull, 13, 7, 4, "30000/1001", 30000, 1001, {}, false, 0},
      {"pipe", Stdin::kPipe, 16, 9, 5, "25", 25, 1, {}, false, 0},
      {"stdin redirected from a file", Stdin::kFile, 10, 6, 3, "29.97", 2997, 100, {}, false, 0},
      {"pipe, mask mode, loop 7", Stdin::kPipe, 20, 8, 3, "12", 12, 1, {"--mask", "--loop", "7"}, true, 7},
      {"file, mask mode, odd width", Stdin::kNull, 15, 5, 2, "10", 10, 1, {"--mask"}, true, 0},
  };
  for (const RawCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes raw = RawStream(c.width, c.height, c.frames);
    const std::string input = TempPath("input.raw");
    const std::string output = TempPath("out.gif");
    ASSERT_TRUE(WriteBytes(input, raw)) << input;

    HostProcess host;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, RawArgs(c, input, output), c.in, input));
    if (c.in == Stdin::kPipe) {
      EXPECT_TRUE(host.Write(raw));
    }
    host.CloseStdin();
    ASSERT_EQ(host.Wait(), 0) << host.err;
    EXPECT_FALSE(Contains(host.err, "warning")) << host.err;
    EXPECT_FALSE(Contains(host.err, "\r")) << "no progress bar when stderr is a file";

    ExpectRawGif(Play(output), c);
  }
}

TEST(HostRawInput, PartialTrailingFrameIsLeftOutWithAWarning) {
  const int width = 8, height = 4;
  const int frame_bytes = 3 * width * height;
  struct Case {
    const char* what;
    Stdin in;
    int extra_bytes;
    std::vector<std::string> extra_args;
    int want_frames;
    bool want_warning;
  } const cases[] = {
      {"file, 1 byte over", Stdin::kNull, 1, {}, 3, true},
      {"pipe, all but 1 byte of a frame", Stdin::kPipe, frame_bytes - 1, {}, 3, true},
      {"pipe, one row", Stdin::kPipe, 3 * width, {}, 3, true},
      {"file, --frames stops before the part-frame", Stdin::kNull, 5, {"--frames", "2"}, 2, false},
      {"file, --frames beyond the end", Stdin::kNull, 5, {"--frames", "9"}, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes raw = RawStream(width, height, 4);
    raw.resize(static_cast<size_t>(3 * frame_bytes + c.extra_bytes));
    const std::string input = TempPath("input.raw");
    const std::string output = TempPath("out.gif");
    ASSERT_TRUE(WriteBytes(input, raw)) << input;
    std::vector<std::string> args = {"--size", "8x4", "--rate", "25", "-o", output};
    args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());
    args.push_back(c.in == Stdin::kNull ? input : "-");

    HostProcess host;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, c.in, input));
    if (c.in == Stdin::kPipe) {
      EXPECT_TRUE(host.Write(raw));
    }
    host.CloseStdin();
    ASSERT_EQ(host.Wait(), 0) << host.err;
    EXPECT_TRUE(HaveWant(Contains(host.err, "ends with " + std::to_string(c.extra_bytes) + " bytes"), c.want_warning))
        << host.err;
    ExpectPatternFrames(Play(output), width, height, c.want_frames, false);
  }
}

TEST(HostRawInput, FramesOptionStopsAPipeEarly) {
  const std::string output = TempPath("out.gif");
  HostProcess host;
  ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--size", "6x6", "--rate", "25", "--frames", "2", "-o", output, "-"},
                         Stdin::kPipe));
  host.Write(RawStream(6, 6, 5));  // may fail part-way: the host stops reading
  host.CloseStdin();
  ASSERT_EQ(host.Wait(), 0) << host.err;
  ExpectPatternFrames(Play(output), 6, 6, 2, false);
}

TEST(HostRawInput, FileShorterThanAFrameWritesNothing) {
  // Pipes that end before a whole frame are among HostFiles' cases.
  const std::string input = TempPath("input.raw");
  const std::string output = TempPath("out.gif");
  std::remove(output.c_str());
  Bytes raw = RawStream(4, 4, 1);
  raw.resize(47);
  ASSERT_TRUE(WriteBytes(input, raw)) << input;
  const Outcome run = RunHost({"--size", "4x4", "--rate", "25", "-o", output, input});
  EXPECT_EQ(run.status, 5);
  EXPECT_TRUE(Contains(run.err, "holds 47 bytes, less than one 4x4 frame (48 bytes)")) << run.err;
  EXPECT_FALSE(FileExists(output)) << "a file without a frame is no GIF";
}

// A flat grey 15 between the palette's greys 6 and 18: dithered, a pattern
// of both, the same in every frame; not dithered, the nearer one alone. In
// mask mode the mask is kept: its black columns are transparent, and only
// they.
TEST(HostRawInput, DitherGivesAStillPatternOfTheTwoGreysAround) {
  constexpr int kWidth = 16, kHeight = 8, kFrames = 3, kMaskedColumns = 4;
  constexpr uint32_t kShown6 = 0xFF060606, kShown18 = 0xFF121212;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool masked;
    std::set<uint32_t> want_colours;  // as shown, 0 for transparent
  } const cases[] = {
      {"--dither none", {"--dither", "none"}, false, {kShown18}},
      {"--dither ordered", {"--dither", "ordered"}, false, {kShown6, kShown18}},
      {"--dither ordered, mask mode", {"--dither", "ordered", "--mask"}, true, {0, kShown6, kShown18}},
  };
  // The picture, then in mask mode the mask beside it: black in its first
  // columns, and after them a grey of 3, opaque, that a dither would push to
  // black in places.
  const FrameColour grey_and_mask = [](int, int x, int) -> uint32_t {
    return x < kWidth ? 0x0F0F0F : x - kWidth < kMaskedColumns ? 0x000000 : 0x030303;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int host_width = c.masked ? 2 * kWidth : kWidth;
    const std::string input = TempPath("input.raw");
    const std::string output = TempPath("out.gif");
    ASSERT_TRUE(WriteBytes(input, RawStream(host_width, kHeight, kFrames, grey_and_mask)));
    std::vector<std::string> args = {"--size", std::to_string(host_width) + "x" + std::to_string(kHeight),
                                      "--rate", "10", "-o", output, input};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = RunHost(args);
    ASSERT_EQ(run.status, 0) << run.err;

    const Playback gif = Play(output);
    ASSERT_FALSE(gif.pictures.empty());
    std::set<uint32_t> colours;
    int transparency_wrong = 0;
    for (size_t i = 0; i < gif.pictures[0].pixels.size(); ++i) {
      const uint32_t pixel = gif.pictures[0].pixels[i];
      colours.insert(pixel);
      transparency_wrong += (pixel == 0) != (c.masked && static_cast<int>(i % kWidth) < kMaskedColumns);
    }
    EXPECT_TRUE(HaveWant(colours, c.want_colours));
    EXPECT_EQ(transparency_wrong, 0) << "pixels transparent where the mask is not black, or not where it is";
    for (const ShownPicture& picture : gif.pictures)
      EXPECT_TRUE(picture.pixels == gif.pictures[0].pixels) << "a frame whose pattern moved";
  }
}

// ------------------------------------------------------- the file system

namespace fs = std::filesystem;

// What the test puts where the GIF goes, when the case calls for one.
const Bytes kOldBytes = {'n', 'o', 't', ' ', 'a', ' ', 'G', 'I', 'F', '\n'};

// Whether this test has a mount namespace of its own, where what it mounts
// is seen only by it and its children and goes when it ends. Root with
// CAP_SYS_ADMIN has one; permission bits do not stop root, but a read-only
// mount does.
bool PrivateMounts() {
  static const bool ok =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return ok;
}

// A fresh, empty folder for one case; what the case mounted there or made
// read-only is undone when it goes.
class Folder {
 public:
  // Under `root`: the temporary folder, or another file system's (a tmpfs
  // under /dev/shm).
  explicit Folder(const std::string& root = TempFolder())
      : path(root + "/" + fs::path(TempPath("files")).filename().string()) {
    Clear();
    fs::create_directories(path);
  }
  ~Folder() { Clear(); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // `path` + "/" + name, holding kOldBytes.
  std::string Existing(const std::string& name) {
    const std::string file = path + "/" + name;
    EXPECT_TRUE(WriteBytes(file, kOldBytes)) << file;
    return file;
  }
  // Makes `target` read-only in a way that binds for this user: a read-only
  // bind mount where the test may mount, the permission bits for anyone but
  // root. The system's reason for refusing a write goes to `reason`; false
  // with `skip` set where neither binds.
  bool MakeReadOnly(const std::string& target, std::string* reason, std::string* skip) {
    if (PrivateMounts()) {
      if (mount(target.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return Skip(skip, "bind mount");
      mounts_.push_back(target);
      if (mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return Skip(skip, "read-only remount");
      *reason = std::strerror(EROFS);
      return true;
    }
    if (geteuid() == 0) {
      *skip = "root without CAP_SYS_ADMIN: permission bits do not stop it, and it cannot mount";
      return false;
    }
    read_only_.push_back(target);
    *reason = std::strerror(EACCES);
    return chmod(target.c_str(), fs::is_directory(target) ? 0555 : 0444) == 0;
  }
  // A file system of 64 KiB on the folder, which a few demo frames fill.
  bool MountTinyDisk(std::string* skip) {
    if (!PrivateMounts()) {
      *skip = "mounting a small tmpfs needs root with CAP_SYS_ADMIN (/dev/full and a file size limit stand in)";
      return false;
    }
    if (mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") != 0) return Skip(skip, "tmpfs mount");
    mounts_.push_back(path);
    return true;
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) names.insert(entry.path().filename().string());
    return names;
  }

  const std::string path;

 private:
  static bool Skip(std::string* skip, const char* what) {
    *skip = std::string(what) + " failed: " + std::strerror(errno);
    return false;
  }
  void Clear() {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    for (const std::string& file : read_only_) chmod(file.c_str(), 0755);
    mounts_.clear();
    read_only_.clear();
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::vector<std::string> mounts_, read_only_;
};

// What was at the target before a run, to compare with what is there after.
struct Before {
  explicit Before(const std::string& target) {
    struct stat info;
    exists = lstat(target.c_str(), &info) == 0;
    link = exists && S_ISLNK(info.st_mode);
    if (stat(target.c_str(), &info) == 0) {
      mode = info.st_mode;
      if (S_ISREG(mode)) bytes = ReadFile(target);
    }
  }
  bool exists = false, link = false;
  mode_t mode = 0;
  Bytes bytes;
};

// The target after a run: left as it was (a file's bytes, a device, an empty
// folder), a GIF of `gif_frames` frames in its place, or nothing at all
// (`gif_frames` < 0 and no target before). A link stays a link and a
// replaced file keeps its permissions.
void ExpectTarget(const std::string& target, const Before& before, bool want_gif, int gif_frames = -1) {
  struct stat info;
  const bool exists = lstat(target.c_str(), &info) == 0;
  EXPECT_TRUE(HaveWant(exists && S_ISLNK(info.st_mode), before.link)) << "a link";
  if (want_gif) {
    EXPECT_TRUE(HaveWant(static_cast<int>(DistinctPictures(Play(target))), gif_frames)) << "frames";
    if (S_ISREG(before.mode) && stat(target.c_str(), &info) == 0) {
      EXPECT_TRUE(HaveWant(info.st_mode & 07777, before.mode & 07777)) << "the replaced file's permissions";
    }
    return;
  }
  if (before.mode == 0) {
    // Nothing there before, or a link that led nowhere: still nothing.
    EXPECT_NE(stat(target.c_str(), &info), 0) << target << " was made";
    EXPECT_TRUE(HaveWant(exists, before.exists)) << "a name for it";
    return;
  }
  ASSERT_EQ(stat(target.c_str(), &info), 0) << target << " is gone";
  EXPECT_TRUE(HaveWant(info.st_mode & S_IFMT, before.mode & S_IFMT)) << "the kind of file";
  if (S_ISREG(info.st_mode)) {
    EXPECT_TRUE(ReadFile(target) == before.bytes) << target << " was changed";
  }
  if (S_ISDIR(info.st_mode)) {
    EXPECT_TRUE(fs::is_empty(target)) << "something was made in " << target;
  }
}

std::string Replaced(std::string text, const std::string& name, const std::string& value) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
    text.replace(at, name.size(), value);
  return text;
}

TEST(HostFiles, ExistingFileKeptUnlessReplacedByAWholeGif) {
  struct Case {
    const char* what;
    // Makes what the case needs and returns the -o argument; "" with `skip`
    // set where this system cannot make it. `reason`: the system's reason
    // the case should name, where it depends on how the case was made.
    std::function<std::string(Folder& folder, std::string* reason, std::string* skip)> prepare;
    std::vector<std::string> args;  // without INPUT: the demo
    int pipe_bytes;                 // >= 0: that much of an 8x8 raw stream piped in as INPUT -
    long file_size_limit;           // see HostProcess
    int want_status;
    std::string want_message;  // {out}: the -o argument; {folder}: the case's folder; {reason}
    int want_gif_frames;       // -1: the target as it was
  };
  const std::vector<std::string> two = {"--frames", "2", "--size", "16x8"};
  const std::vector<std::string> piped = {"--size", "8x8", "--rate", "25", "-"};
  const auto existing = [](Folder& f, std::string*, std::string*) { return f.Existing("keep.gif"); };
  const Case cases[] = {
      {"a new file", [](Folder& f, std::string*, std::string*) { return f.path + "/new.gif"; }, two, -1, -1, 0,
       "wrote {out}: 2 frames", 2},
      {"an existing file is replaced, its permissions kept",
       [](Folder& f, std::string*, std::string*) {
         const std::string file = f.Existing("keep.gif");
         chmod(file.c_str(), 0640);
         return file;
       },
       two, -1, -1, 0, "wrote {out}: 2 frames", 2},
      {"a link: the file it leads to is replaced",
       [](Folder& f, std::string*, std::string*) {
         f.Existing("real.gif");
         const std::string link = f.path + "/link.gif";
         return symlink("real.gif", link.c_str()) == 0 ? link : std::string();
       },
       two, -1, -1, 0, "wrote {out}", 2},
      {"an empty pipe (the program feeding it failed)", existing, piped, 0, -1, 5,
       "standard input holds no whole frame; {out} is left as it was", -1},
      {"half a frame, to a new file", [](Folder& f, std::string*, std::string*) { return f.path + "/new.gif"; },
       piped, 100, -1, 5, "ends after 100 of the 192 bytes of a 8x8 frame); nothing written", -1},
      // The plug-in writes through a buffer of a few KiB: a frame must be
      // larger than that for its write to fail at once.
      {"no room for the first frame", existing, {"--size", "320x180", "--frames", "3"}, -1, 1000, 4,
       "cannot write {out}: File too large; {out} is left as it was", -1},
      {"no room for a later frame", existing, {"--size", "64x64"}, -1, 12000, 4,
       "cannot write {out}: File too large (after ", -1},
      {"a full disk",
       [](Folder& f, std::string*, std::string* skip) {
         return f.MountTinyDisk(skip) ? f.Existing("keep.gif") : std::string();
       },
       {"--size", "320x180"}, -1, -1, 4, "cannot write {out}: No space left on device (after ", -1},
      {"a missing folder", [](Folder& f, std::string*, std::string*) { return f.path + "/no/such/out.gif"; }, two,
       -1, -1, 4, "cannot write {out}: cannot create a file in its folder {folder}/no/such: No such file or directory",
       -1},
      {"a file in place of its folder",
       [](Folder& f, std::string*, std::string*) { return f.Existing("plain") + "/out.gif"; }, two, -1, -1, 4,
       "cannot write {out}: Not a directory", -1},
      {"a folder",
       [](Folder& f, std::string*, std::string*) {
         fs::create_directory(f.path + "/adir");
         return f.path + "/adir";
       },
       two, -1, -1, 4, "cannot write {out}: Is a directory", -1},
      {"a read-only file",
       [](Folder& f, std::string* reason, std::string* skip) {
         const std::string file = f.Existing("keep.gif");
         return f.MakeReadOnly(file, reason, skip) ? file : std::string();
       },
       two, -1, -1, 4, "cannot write {out}: {reason}", -1},
      {"a read-only folder",
       [](Folder& f, std::string* reason, std::string* skip) {
         const std::string folder = f.path + "/ro";
         fs::create_directory(folder);
         return f.MakeReadOnly(folder, reason, skip) ? folder + "/out.gif" : std::string();
       },
       two, -1, -1, 4, "cannot write {out}: cannot create a file in its folder {folder}/ro: {reason}", -1},
      {"/dev/full, written directly", [](Folder&, std::string*, std::string*) { return std::string("/dev/full"); },
       two, -1, -1, 4, "cannot write /dev/full: No space left on device", -1},
      {"/dev/null, written directly", [](Folder&, std::string*, std::string*) { return std::string("/dev/null"); },
       two, -1, -1, 0, "wrote /dev/null: 2 frames, 16x8, 0.08 s at 25 fps", -1},
      {"standard output, made in a temporary folder without room",
       [](Folder&, std::string*, std::string*) { return std::string("-"); }, {"--size", "320x180", "--frames", "3"},
       -1, 1000, 4,
       "cannot write the GIF for standard output in the temporary folder " + TempFolder() +
           ": File too large; nothing written",
       -1},
  };
  std::vector<std::string> skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder folder;
    std::string reason, skip;
    const std::string out = c.prepare(folder, &reason, &skip);
    if (out.empty()) {
      ASSERT_FALSE(skip.empty()) << "the case could not be made";
      skipped.push_back(std::string(c.what) + ": " + skip);
      continue;
    }
    const Before before(out);
    const std::set<std::string> names = folder.Names();

    std::vector<std::string> args = {"-o", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    HostProcess host;
    host.file_size_limit = c.file_size_limit;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, c.pipe_bytes >= 0 ? Stdin::kPipe : Stdin::kNull));
    if (c.pipe_bytes >= 0) {
      Bytes raw = RawStream(8, 8, 1);
      raw.resize(static_cast<size_t>(c.pipe_bytes));
      host.Write(raw);
    }
    host.CloseStdin();
    EXPECT_TRUE(HaveWant(host.Wait(), c.want_status)) << "exit status; " << host.err;
    const std::string want =
        Replaced(Replaced(Replaced(c.want_message, "{out}", out), "{folder}", folder.path), "{reason}", reason);
    EXPECT_TRUE(Contains(host.err, want)) << "have " << host.err << "want " << want;
    EXPECT_TRUE(HaveWant(Contains(host.err, "wrote "), c.want_status == 0)) << host.err;

    ExpectTarget(out, before, c.want_gif_frames >= 0, c.want_gif_frames);
    // No temporary file is left beside it.
    std::set<std::string> want_names = names;
    if (!before.exists && c.want_gif_frames >= 0) want_names.insert(fs::path(out).filename().string());
    EXPECT_TRUE(HaveWant(folder.Names(), want_names)) << "the folder's files";
  }
  for (const std::string& why : skipped) std::printf("skipped %s\n", why.c_str());
}

// The folders the target-kind cases run in: the temporary folder, and a
// tmpfs under /dev (its name once made the host write there in place).
std::vector<std::string> TargetRoots() {
  std::vector<std::string> roots = {TempFolder()};
  if (access("/dev/shm", W_OK | X_OK) == 0) {
    roots.push_back("/dev/shm");
  } else {
    std::printf("skipped /dev/shm: not a folder this user may write\n");
  }
  return roots;
}

// Reads the FIFO `path` on a thread of its own until its writer closes it.
std::thread ReadFifo(const std::string& path, Bytes* bytes) {
  return std::thread([path, bytes] {
    const int fd = open(path.c_str(), O_RDONLY);
    char buffer[4096];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    if (fd >= 0) close(fd);
  });
}

TEST(HostFiles, WhatTheTargetIsDecidesHowItIsWritten) {
  // Each kind of target, after an export of two demo frames (or one that
  // fails: an empty pipe), in a plain folder and on a tmpfs under /dev.
  struct Case {
    const char* what;
    std::function<std::string(Folder& folder)> prepare;  // the -o argument
    bool fails;
    std::set<std::string> want_names;  // the folder's, after
    int want_gif_frames;               // at the name (-1: as it was); from a FIFO, read
  };
  const auto existing = [](Folder& f) { return f.Existing("out.gif"); };
  const auto missing = [](Folder& f) { return f.path + "/out.gif"; };
  const auto link_to = [](const std::string& name) {
    return [name](Folder& f) {
      const std::string link = f.path + "/link.gif";
      return symlink(name.c_str(), link.c_str()) == 0 ? link : std::string();
    };
  };
  const auto existing_link = [link_to](Folder& f) {
    f.Existing("out.gif");
    return link_to("out.gif")(f);
  };
  const auto fifo = [](Folder& f) {
    const std::string path = f.path + "/out.fifo";
    return mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
  };
  const std::set<std::string> out = {"out.gif"}, linked = {"link.gif", "out.gif"};
  const Case cases[] = {
      {"a regular file", existing, false, out, 2},
      {"a regular file, failed", existing, true, out, -1},
      {"a new name", missing, false, out, 2},
      {"a new name, failed", missing, true, {}, -1},
      {"a link to a file", existing_link, false, linked, 2},
      {"a link to a file, failed", existing_link, true, linked, -1},
      {"a link to nothing: the name it holds is made", link_to("out.gif"), false, linked, 2},
      {"a link to nothing, failed", link_to("out.gif"), true, {"link.gif"}, -1},
      {"a regular file by way of /dev/..", [&](Folder& f) { return "/dev/.." + existing(f); }, true, out, -1},
      {"a regular file by way of /proc/self/root", [&](Folder& f) { return "/proc/self/root" + existing(f); }, true,
       out, -1},
      {"a FIFO, written as the export goes", fifo, false, {"out.fifo"}, 2},
  };
  for (const std::string& root : TargetRoots()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(root + ": " + c.what);
      Folder folder(root);
      const std::string target = c.prepare(folder);
      ASSERT_FALSE(target.empty()) << std::strerror(errno);
      const Before before(target);
      std::vector<std::string> args = {"-o", target};
      if (c.fails) {
        args.insert(args.end(), {"--size", "8x8", "--rate", "25", "-"});
      } else {
        args.insert(args.end(), {"--frames", "2", "--size", "16x8"});
      }
      Bytes read;
      std::thread reader;
      if (S_ISFIFO(before.mode)) reader = ReadFifo(target, &read);
      HostProcess host;
      ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, c.fails ? Stdin::kPipe : Stdin::kNull));
      host.CloseStdin();
      EXPECT_TRUE(HaveWant(host.Wait(), c.fails ? 5 : 0)) << "exit status; " << host.err;
      if (c.fails) {
        EXPECT_TRUE(Contains(host.err, S_ISREG(before.mode) ? "; " + target + " is left as it was" : "nothing written"))
            << host.err;
      }
      if (reader.joinable()) {
        // A reader still waiting for the writer (the host never came) is let go.
        const int release = open(target.c_str(), O_WRONLY | O_NONBLOCK);
        if (release >= 0) close(release);
        reader.join();
        EXPECT_TRUE(HaveWant(static_cast<int>(DistinctPictures(PlayBytes(read))), c.want_gif_frames))
            << "frames read";
        ExpectTarget(target, before, false);
      } else {
        ExpectTarget(target, before, c.want_gif_frames >= 0, c.want_gif_frames);
      }
      EXPECT_TRUE(HaveWant(folder.Names(), c.want_names)) << "the folder's files";
    }
  }
}

TEST(HostFiles, TheInputUnderAnotherNameIsRefused) {
  // Any name that reaches the input's own file is refused before anything is
  // written, however it is spelt.
  const Bytes raw = RawStream(8, 8, 3);
  for (const std::string& root : TargetRoots()) {
    Folder folder(root);
    const std::string input = folder.path + "/in.raw";
    ASSERT_TRUE(WriteBytes(input, raw));
    ASSERT_EQ(symlink("in.raw", (folder.path + "/in.link").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(link(input.c_str(), (folder.path + "/in.hard").c_str()), 0) << std::strerror(errno);
    const std::set<std::string> names = folder.Names();
    for (const std::string& output : {folder.path + "//in.raw", folder.path + "/./in.raw", folder.path + "/in.link",
                                      folder.path + "/in.hard", "/proc/self/root" + input}) {
      SCOPED_TRACE(output);
      const Outcome run = RunHost({"--size", "8x8", "--rate", "25", "--frames", "1", "-o", output, input});
      EXPECT_TRUE(HaveWant(run.status, 2)) << "exit status; " << run.err;
      EXPECT_TRUE(Contains(run.err, "the input and the output are the same file")) << run.err;
      EXPECT_TRUE(ReadFile(input) == raw) << "the input was changed";
      EXPECT_TRUE(HaveWant(folder.Names(), names)) << "the folder's files";
    }
  }
}

TEST(HostFiles, StandardOutputGetsTheGif) {
  // Standard output is a regular file here: /dev/stdout is written where it
  // is, not replaced.
  const struct {
    std::string output, want_summary;
  } cases[] = {
      {"-", "wrote standard output: 3 frames, 12x6, 0.12 s at 25 fps"},
      {"/dev/stdout", "wrote /dev/stdout: 3 frames, 12x6, 0.12 s at 25 fps"},
      {"/dev/fd/1", "wrote /dev/fd/1: 3 frames, 12x6, 0.12 s at 25 fps"},
      {"/proc/self/fd/1", "wrote /proc/self/fd/1: 3 frames, 12x6, 0.12 s at 25 fps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    HostProcess host;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--size", "12x6", "--rate", "25", "-o", c.output, "-"}, Stdin::kPipe));
    EXPECT_TRUE(host.Write(RawStream(12, 6, 3)));
    host.CloseStdin();
    ASSERT_EQ(host.Wait(), 0) << host.err;
    EXPECT_TRUE(Contains(host.err, c.want_summary)) << host.err;
    ExpectPatternFrames(PlayBytes(Bytes(host.out.begin(), host.out.end())), 12, 6, 3, false);
  }
}

TEST(HostFiles, AReaderThatGoesAwayIsAFailedWrite) {
  // The demo's GIF is far more than the 10 bytes head reads: the write fails
  // with EPIPE. A failed write (4), said so, and no temporary file left.
  Folder temporary;
  const std::string command = "TMPDIR='" + temporary.path + "' '" LODRA_GIF_PATH "' -o - 2>'" + temporary.path +
                              "/../err.txt' | head -c 10 > /dev/null; exit \\${PIPESTATUS[0]}";
  const int status = std::system(("bash -c \"" + command + "\"").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  const Bytes err = ReadFile(temporary.path + "/../err.txt");
  EXPECT_TRUE(Contains(std::string(err.begin(), err.end()), "Broken pipe")) << std::string(err.begin(), err.end());
  EXPECT_TRUE(temporary.Names().empty()) << "a temporary file was left behind";
}

// ----------------------------------------------------------------- Ctrl-C

// Starts an export from a pipe into `out` and feeds it `frames` frames of
// `width` x 16 and, with `half`, half of the next; returns once the host has
// taken all of it, and is encoding the last frame or waiting for more.
void StartPipedExport(HostProcess* host, const std::string& out, int width, int height, int frames, bool half) {
  ASSERT_TRUE(host->Start(LODRA_GIF_PATH,
                          {"--size", std::to_string(width) + "x" + std::to_string(height), "--rate", "25", "-o", out,
                           "-"},
                          Stdin::kPipe));
  Bytes raw = RawStream(width, height, frames + 1);
  raw.resize(static_cast<size_t>(3 * width * height * frames + (half ? 3 * width * height / 2 : 0)));
  ASSERT_TRUE(host->Write(raw));
  // The host reads unbuffered: once the pipe is empty it has every byte.
  ASSERT_TRUE(host->WaitUntilPipeDrained(std::chrono::seconds(60)));
}

TEST(HostInterrupt, CtrlCClosesTheGifAfterTheFramesSoFar) {
  for (const bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "replacing a file" : "a new file");
    Folder folder;
    const std::string out = existed ? folder.Existing("out.gif") : folder.path + "/out.gif";
    const int sent = 3;
    HostProcess host;
    ASSERT_NO_FATAL_FAILURE(StartPipedExport(&host, out, 32, 16, sent, false));
    host.Interrupt();
    // The pipe stays open: the host must not wait for its end.
    EXPECT_TRUE(HaveWant(host.Wait(std::chrono::seconds(60)), 130)) << "exit status; " << host.err;
    EXPECT_TRUE(Contains(host.err, "interrupted; " + out + " holds the frames done so far")) << host.err;
    EXPECT_TRUE(Contains(host.err, std::to_string(sent) + " frames")) << host.err;
    const Playback gif = Play(out);
    ExpectPatternFrames(gif, 32, 16, sent, false);
    EXPECT_EQ(gif.comments.size(), 1u) << "closed off with the comment and trailer";
    EXPECT_TRUE(HaveWant(folder.Names(), std::set<std::string>{"out.gif"})) << "the folder's files";
  }
}

TEST(HostInterrupt, CtrlCBeforeTheFirstFrameKeepsTheFile) {
  Folder folder;
  const std::string out = folder.Existing("keep.gif");
  HostProcess host;
  ASSERT_NO_FATAL_FAILURE(StartPipedExport(&host, out, 32, 16, 0, true));
  host.Interrupt();
  EXPECT_TRUE(HaveWant(host.Wait(std::chrono::seconds(60)), 130)) << "exit status; " << host.err;
  EXPECT_TRUE(Contains(host.err, "interrupted before the first frame; " + out + " is left as it was")) << host.err;
  EXPECT_TRUE(ReadFile(out) == kOldBytes) << out << " was changed";
  EXPECT_TRUE(HaveWant(folder.Names(), std::set<std::string>{"keep.gif"})) << "the folder's files";
}

// A colour that looks like noise: a 1080p frame of it takes the host tens of
// milliseconds to encode, where a smooth one takes a few.
uint32_t NoiseColour(int n, int x, int y) {
  uint32_t h = static_cast<uint32_t>(x) * 0x9E3779B1u ^ static_cast<uint32_t>(y) * 0x85EBCA77u ^
               static_cast<uint32_t>(n) * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 13;
  return h & 0xFFFFFF;
}

TEST(HostInterrupt, SecondCtrlCLeavesNoPartWrittenFile) {
  // Two SIGINTs, one right after the other, while the host encodes frames of
  // noise fed without end: the first lets it finish the frame in hand, and
  // the second, well within that frame, ends the program before it can close
  // the GIF and must take the temporary file with it. Should the host still
  // win the race (a test process held off the CPU), the target must be a
  // whole GIF, and the run is tried again.
  const Bytes noise = RawStream(1920, 1080, 1, NoiseColour);
  for (const bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "replacing a file" : "a new file");
    bool ended_by_signal = false;
    for (int attempt = 0; attempt < 3 && !ended_by_signal; ++attempt) {
      Folder folder;
      const std::string out = existed ? folder.Existing("out.gif") : folder.path + "/out.gif";
      HostProcess host;
      ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--size", "1920x1080", "--rate", "25", "-o", out, "-"}, Stdin::kPipe));
      // Fed until the host is gone and the pipe breaks.
      std::atomic<int> frames_fed{0};
      std::atomic<bool> feed_over{false};
      std::thread feed([&] {
        while (host.Write(noise)) ++frames_fed;
        feed_over = true;
      });
      // Once two frames are in, the host is at work on the first or later.
      while (frames_fed < 2 && !feed_over) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const bool taken = host.InterruptAndWaitTaken(std::chrono::seconds(10));
      host.Interrupt();
      const int status = host.Wait(std::chrono::seconds(60));
      feed.join();
      ASSERT_TRUE(taken) << "the first SIGINT was never taken";
      ended_by_signal = status == 1000 + SIGINT;
      ASSERT_TRUE(ended_by_signal || status == 130) << "have " << status << ", want the end by SIGINT; " << host.err;
      if (!ended_by_signal) {
        std::printf("the host finished before the second SIGINT\n");
        EXPECT_GE(Play(out).pictures.size(), size_t{1});
      } else if (existed) {
        EXPECT_TRUE(ReadFile(out) == kOldBytes) << out << " was changed";
      } else {
        EXPECT_FALSE(FileExists(out)) << out << " was made";
      }
      if (ended_by_signal) {
        EXPECT_TRUE(Contains(host.err, "lodra-gif: stopped by a second Ctrl-C; " +
                                           (existed ? out + " is left as it was" : std::string("nothing written"))))
            << host.err;
      }
      const bool has_out = !ended_by_signal || existed;
      EXPECT_TRUE(HaveWant(folder.Names(), has_out ? std::set<std::string>{"out.gif"} : std::set<std::string>{}))
          << "the folder's files";
    }
    EXPECT_TRUE(ended_by_signal) << "the host finished before the second SIGINT every time";
  }
}

TEST(HostInterrupt, CtrlCWhileAFifoWaitsForItsReader) {
  Folder folder;
  const std::string fifo = folder.path + "/out.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  HostProcess host;
  ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--frames", "2", "-o", fifo}, Stdin::kNull));
  ASSERT_TRUE(host.WaitUntilBlockedIn("wait_for_partner", std::chrono::seconds(30))) << "never opened the FIFO";
  host.Interrupt();
  EXPECT_TRUE(HaveWant(host.Wait(std::chrono::seconds(60)), 130)) << "exit status; " << host.err;
  EXPECT_TRUE(Contains(host.err, "interrupted before the first frame")) << host.err;
}

// What a terminal shows of `text`: its lines, each character written over
// the one in its place, '\r' back to the start of the line.
std::vector<std::string> Screen(const std::string& text) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (const char c : text) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  return lines;
}

TEST(HostInterrupt, CtrlCAtTheTerminalLeavesNoEchoBeforeTheMessage) {
  // Ctrl-C typed at the program's own terminal, which echoes "^C" where
  // the cursor is: after the progress bar, or alone at the start of a line.
  struct Case {
    const char* what;
    std::vector<std::string> extra;
  } const cases[] = {{"after the progress bar", {}}, {"--quiet: no bar", {"--quiet"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder folder;
    const std::string out = folder.path + "/out.gif";
    std::vector<std::string> args = {"--size", "1920x1080", "--frames", "1000", "-o", out};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    HostProcess host;
    host.controlling_terminal = true;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, Stdin::kNull, "", true));
    // The export under way: its file made, its bar drawn.
    for (int wait = 0; wait < 3000 && (folder.Names().empty() || (c.extra.empty() && !Contains(host.TerminalText(), "frames")));
         ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(host.SendToTerminal("\x03"));
    ASSERT_TRUE(HaveWant(host.Wait(std::chrono::seconds(60)), 130)) << host.err;
    ASSERT_TRUE(Contains(host.err, "^C")) << "the terminal echoed no ^C: " << host.err;
    bool said = false;
    for (const std::string& line : Screen(host.err)) {
      EXPECT_FALSE(Contains(line, "^C")) << "\"" << line << "\"";
      said |= line.rfind("lodra-gif: interrupted", 0) == 0;
    }
    EXPECT_TRUE(said) << "the message on a line of its own: " << host.err;
  }
}

TEST(HostInterrupt, CtrlCStopsEveryExportOfSeveral) {
  // Two inputs at once, each a FIFO that gives three frames and then
  // nothing: Ctrl-C (sent to lodra-gif alone) reaches both runs, and each
  // closes off its GIF.
  Folder folder;
  const std::string gifs = folder.path + "/gifs/";
  const int sent = 3;
  std::vector<std::string> args = {"--size", "32x16", "--rate", "25", "--jobs", "2", "-o", gifs};
  for (const char* name : {"a", "b"}) {
    args.push_back(folder.path + "/" + name + ".raw");
    ASSERT_EQ(mkfifo(args.back().c_str(), 0600), 0) << std::strerror(errno);
  }
  HostProcess host;
  ASSERT_TRUE(host.Start(LODRA_GIF_PATH, args, Stdin::kNull));
  std::vector<int> writers;
  for (const char* name : {"a", "b"}) {
    writers.push_back(open((folder.path + "/" + name + ".raw").c_str(), O_WRONLY));  // once its run opens it
    ASSERT_GE(writers.back(), 0);
    const Bytes raw = RawStream(32, 16, sent);
    ASSERT_EQ(write(writers.back(), raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
  }
  for (const int writer : writers) {
    for (int unread = 1; unread > 0;) {
      ASSERT_EQ(ioctl(writer, FIONREAD, &unread), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  host.Interrupt();
  const int status = host.Wait(std::chrono::seconds(60));
  for (const int writer : writers) close(writer);
  EXPECT_TRUE(HaveWant(status, 130)) << host.err;
  EXPECT_TRUE(Contains(host.err, "0 of 2 GIFs written in " + gifs + "; 2 stopped by Ctrl-C")) << host.err;
  for (const char* name : {"a", "b"}) {
    SCOPED_TRACE(name);
    ExpectPatternFrames(Play(gifs + name + ".gif"), 32, 16, sent, false);
  }
}

// ---------------------------------------------------------------- signals

// A signal whose default action ends the program, and whether the host can
// catch it.
struct EndingSignal {
  int number;
  const char* name;
  bool caught;
};
void PrintTo(const EndingSignal& s, std::ostream* out) { *out << s.name; }

class HostSignals : public ::testing::TestWithParam<EndingSignal> {};

TEST_P(HostSignals, NoTemporaryFileOutlivesTheProgram) {
  const EndingSignal s = GetParam();
#if defined(__SANITIZE_ADDRESS__)
  if (s.number == SIGSEGV || s.number == SIGBUS || s.number == SIGFPE)
    GTEST_SKIP() << "the sanitizer handles " << s.name << " itself, and the host leaves it to it";
#endif
  Folder folder;
  const std::string out = folder.Existing("out.gif");
  HostProcess host;
  // Waiting for a third frame, its temporary files half written: the
  // optimised GIF's and the plug-in's.
  ASSERT_NO_FATAL_FAILURE(StartPipedExport(&host, out, 16, 8, 2, false));
  const std::string temporary = ".lodra-gif-" + std::to_string(host.pid());
  const std::set<std::string> half_done = {temporary + "-0.tmp", temporary + "-1.tmp", "out.gif"};
  ASSERT_TRUE(HaveWant(folder.Names(), half_done)) << "before the signal";
  host.Signal(s.number);
  EXPECT_TRUE(HaveWant(host.Wait(std::chrono::seconds(60)), 1000 + s.number)) << "ended by the signal; " << host.err;
  EXPECT_TRUE(ReadFile(out) == kOldBytes) << out << " was changed";
  const std::set<std::string> want = s.caught ? std::set<std::string>{"out.gif"} : half_done;
  EXPECT_TRUE(HaveWant(folder.Names(), want)) << "the folder's files; a file left names the program";
}

INSTANTIATE_TEST_SUITE_P(
    EachEndingSignal, HostSignals,
    ::testing::Values(EndingSignal{SIGHUP, "SIGHUP", true}, EndingSignal{SIGQUIT, "SIGQUIT", true},
                      EndingSignal{SIGILL, "SIGILL", true}, EndingSignal{SIGTRAP, "SIGTRAP", true},
                      EndingSignal{SIGABRT, "SIGABRT", true}, EndingSignal{SIGBUS, "SIGBUS", true},
                      EndingSignal{SIGFPE, "SIGFPE", true}, EndingSignal{SIGUSR1, "SIGUSR1", true},
                      EndingSignal{SIGSEGV, "SIGSEGV", true}, EndingSignal{SIGUSR2, "SIGUSR2", true},
                      EndingSignal{SIGALRM, "SIGALRM", true}, EndingSignal{SIGTERM, "SIGTERM", true},
                      EndingSignal{SIGSTKFLT, "SIGSTKFLT", true}, EndingSignal{SIGXCPU, "SIGXCPU", true},
                      EndingSignal{SIGVTALRM, "SIGVTALRM", true}, EndingSignal{SIGPROF, "SIGPROF", true},
                      EndingSignal{SIGPOLL, "SIGPOLL", true}, EndingSignal{SIGPWR, "SIGPWR", true},
                      EndingSignal{SIGSYS, "SIGSYS", true}, EndingSignal{SIGRTMIN, "SIGRTMIN", true},
                      EndingSignal{SIGRTMAX, "SIGRTMAX", true}, EndingSignal{SIGKILL, "SIGKILL", false}),
    [](const ::testing::TestParamInfo<EndingSignal>& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------- errors

TEST(HostErrors, EachFailureHasItsMessageAndStatus) {
  const std::string input = TempPath("input.raw");
  ASSERT_TRUE(WriteBytes(input, RawStream(4, 4, 2))) << input;
  const std::string not_a_module = TempPath("not_a_module.so");
  ASSERT_TRUE(WriteBytes(not_a_module, Bytes{'n', 'o', 't', ' ', 'E', 'L', 'F'})) << not_a_module;
  Folder folder;
  const std::string output = folder.path + "/out.gif";

  const FailureCase cases[] = {
      {"malformed size", {"--size", "4by4", "--rate", "25", "-o", output, input}, 2, "malformed size \"4by4\""},
      {"zero width", {"--size", "0x4", "--rate", "25", "-o", output, input}, 2, "must be 1 to 65535"},
      {"frame above the memory budget", {"--size", "65535x65535", "--rate", "25", "-o", output, input}, 2,
       "size 65535x65535: exporting it needs 34.1 GiB of memory"},
      {"frame above what the plug-in addresses", {"--max-memory", "64G", "--size", "65535x65535", "--rate", "25", "-o",
       output, input}, 2, "bytes, more than"},
      {"mask mode, 1 pixel wide", {"--mask", "--size", "1x4", "--rate", "25", "-o", output, input}, 2,
       "mask mode needs frames at least 2 pixels wide"},
      {"demo too large for mask mode", {"--mask", "--size", "40000x20000", "-o", output}, 2, "twice the picture"},
      {"malformed rate", {"--size", "4x4", "--rate", "fast", "-o", output, input}, 2, "malformed rate \"fast\""},
      {"zero rate", {"--size", "4x4", "--rate", "0/1", "-o", output, input}, 2, "must be above 0"},
      {"zero scale", {"--size", "4x4", "--rate", "25/0", "-o", output, input}, 2, "must be above 0"},
      {"loop out of range", {"--loop", "65536", "-o", output}, 2, "--loop needs a whole number from 0 to 65535"},
      {"no output", {"--size", "4x4", "--rate", "25", input}, 2, "no output file"},
      {"unknown option", {"--sped", "2", "-o", output}, 2, "unknown option --sped"},
      {"raw input without a rate", {"--size", "4x4", "-o", output, input}, 2, "raw input needs --rate R too"},
      {"missing module", {"--module", TempPath("nowhere.so"), "-o", output}, 3, "cannot load the plug-in module"},
      {"not a library", {"--module", not_a_module, "-o", output}, 3, "cannot load the plug-in module"},
      {"library without the export", {"--module", LODRA_NOT_A_PLUGIN_PATH, "-o", output}, 3,
       "has no GetOutputPluginTable export"},
      {"input missing", {"--size", "4x4", "--rate", "25", "-o", output, TempPath("nothing.raw")}, 5,
       "cannot open"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(output.c_str());
    const Outcome run = RunHost(c.args);
    ExpectFailedRun(run.status, run.err, c, output);
    // One line for the error, and at most a hint after it.
    EXPECT_LE(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
  }
  EXPECT_TRUE(fs::is_empty(folder.path)) << "a temporary file was left behind";
}

TEST(HostErrors, StdinThatIsATerminalIsRefused) {
  // posix_openpt gives a terminal to stand in for an interactive stdin.
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  ASSERT_EQ(grantpt(pty), 0);
  ASSERT_EQ(unlockpt(pty), 0);
  const Outcome run = RunHost({"--size", "4x4", "--rate", "25", "-o", TempPath("out.gif"), "-"}, Stdin::kFile,
                          ptsname(pty));
  close(pty);
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "standard input is a terminal")) << run.err;
}

// ------------------------------------------------------- what the user sees

TEST(HostOutput, SummaryAndWarningsMatchTheFile) {
  // Two frames each: the playing time is what their delays add up to in the
  // file, 0 to 655.35 s each.
  struct Case {
    std::string rate;
    std::string want_warning;  // "" for none
    std::string want_summary;
  } const cases[] = {
      {"50", "", "0.04 s at 50 fps"},
      {"100/2", "", "0.04 s at 50 fps"},
      {"60000/1001", "at 59.94 fps frames get delays of 1/100 s, which browsers play as 1/10 s",
       "0.03 s at 59.94 fps"},  // delays 1 and 2
      {"1000", "most frames get a delay of 0", "0.00 s (every delay 0) at 1000 fps"},
      {"0.001", "every frame is shown for 655.35 s", "1310.70 s at 0.001 fps"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const std::string output = TempPath("out.gif");
    const Outcome run = RunHost({"--rate", c.rate, "--frames", "2", "--size", "8x8", "-o", output});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(HaveWant(Contains(run.err, "warning:"), !c.want_warning.empty())) << run.err;
    EXPECT_TRUE(Contains(run.err, c.want_warning)) << run.err;
    if (!c.want_warning.empty() && c.rate != "0.001") {
      EXPECT_TRUE(Contains(run.err, "-vf fps=25")) << run.err;
    }
    EXPECT_TRUE(Contains(run.err, "wrote " + output + ": 2 frames, 8x8, " + c.want_summary)) << run.err;
  }
}

TEST(HostOutput, OptimisedGifPlaysAsThePluginsAndTheSummarySaysBothSizes) {
  // Four frames, the first three one picture: two are merged.
  const FrameColour still_then_moving = [](int n, int x, int y) { return PatternColour(n < 3 ? 0 : 1, x, y); };
  const std::string input = TempPath("input.raw"), plugins = TempPath("plugins.gif"), output = TempPath("out.gif");
  ASSERT_TRUE(WriteBytes(input, RawStream(24, 16, 4, still_then_moving)));
  const Outcome plain = RunHost({"--size", "24x16", "--rate", "25", "--no-optimize", "-o", plugins, input});
  const Outcome optimised = RunHost({"--size", "24x16", "--rate", "25", "-o", output, input});
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(optimised.status, 0) << optimised.err;

  // --no-optimize: the plug-in's own layout, every frame the whole picture.
  const DecodedGif gif = Decode(plugins);
  ASSERT_TRUE(HaveWant(gif.frames.size(), size_t{4}));
  for (const DecodedFrame& frame : gif.frames) {
    EXPECT_TRUE(frame.left == 0 && frame.top == 0 && frame.width == 24 && frame.height == 16 && frame.disposal == 2);
  }
  EXPECT_TRUE(HaveWant(Decode(output).frames.size(), size_t{2}));
  EXPECT_EQ(PlaybackDifference(Play(output), Play(plugins)), "");

  const uint64_t before = ReadFile(plugins).size(), after = ReadFile(output).size();
  EXPECT_LT(after, before);
  EXPECT_TRUE(Contains(plain.err, "wrote " + plugins + ": 4 frames, 24x16, 0.16 s at 25 fps, " +
                                      lodra_gif::FormatBytes(before) + ", made in"))
      << plain.err;
  EXPECT_TRUE(Contains(optimised.err, "wrote " + output + ": 4 frames (2 once repeats are merged), 24x16, 0.16 s at 25 fps, " +
                                          lodra_gif::FormatBytes(after) + " (optimised from " +
                                          lodra_gif::FormatBytes(before) + "), made in"))
      << optimised.err;
}

TEST(HostOutput, ProgressBarOnlyOnATerminalAndWithinItsWidth) {
  const std::string output = TempPath("out.gif");
  HostProcess host;
  host.terminal_columns = 40;
  ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--frames", "12", "--size", "40x20", "-o", output}, Stdin::kNull, "", true));
  ASSERT_EQ(host.Wait(), 0) << host.err;
  EXPECT_TRUE(Contains(host.err, "\r[")) << host.err;
  EXPECT_TRUE(Contains(host.err, "12/12 frames")) << host.err;
  EXPECT_TRUE(Contains(host.err, "wrote " + output + ": 12 frames")) << host.err;
  // Every drawing, and the blanks that clear it, shorter than the terminal:
  // a line that wraps is not rewritten in place.
  size_t drawings = 0;
  for (size_t at = host.err.find('\r'); at != std::string::npos; at = host.err.find('\r', at + 1)) {
    const size_t end = std::min(host.err.find('\r', at + 1), host.err.find('\n', at + 1));
    const std::string line = host.err.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    if (Contains(line, "lodra-gif:")) continue;
    ++drawings;
    EXPECT_LT(line.size(), 40u) << "\"" << line << "\"";
  }
  EXPECT_GE(drawings, 3u) << host.err;
}

TEST(HostOutput, HelpShowsTheFfmpegPipe) {
  const Outcome run = RunHost({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.out, "ffmpeg -i in.mp4 -f rawvideo -pix_fmt bgr24 - |\n"
                                "    lodra-gif --size 640x360 --rate 25 -o out.gif -"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "130")) << "the exit statuses are listed";
}

TEST(HostOutput, VersionNamesTheBuildAndTheModule) {
  const Outcome run = RunHost({"--version"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "lodra-gif ")) << run.out;
  EXPECT_TRUE(Contains(run.out, "\nmodule: ")) << run.out;
  // The table's text, code page 932, as UTF-8.
  EXPECT_TRUE(Contains(run.out, "\xE5\x87\xBA\xE5\x8A\x9B writes animated GIFs")) << run.out;

  const Outcome missing = RunHost({"--version", "--module", TempPath("nowhere.so")});
  EXPECT_EQ(missing.status, 3);
  EXPECT_TRUE(Contains(missing.out, "lodra-gif ")) << "the program's version comes first";
  EXPECT_TRUE(Contains(missing.err, "cannot load the plug-in module")) << missing.err;
}

// ------------------------------------------------------ finding the module

TEST(HostModule, FoundNextToTheProgramOrNamed) {
  // A folder with a copy of the program: the module beside it is found, and
  // without one the host says where it looked.
  const std::string folder = TempPath("install");
  ASSERT_EQ(std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "' && cp '" LODRA_GIF_PATH "' '" +
                         folder + "/lodra-gif'").c_str()),
            0);
  const std::string copy = folder + "/lodra-gif";
  const std::string output = TempPath("out.gif");

  HostProcess alone;
  ASSERT_TRUE(alone.Start(copy, {"--frames", "1", "-o", output}, Stdin::kNull));
  EXPECT_EQ(alone.Wait(), 3);
  EXPECT_TRUE(Contains(alone.err, "cannot find lodra_output.so")) << alone.err;

  HostProcess named;
  ASSERT_TRUE(named.Start(copy, {"--module", LODRA_MODULE_PATH, "--frames", "1", "-o", output}, Stdin::kNull));
  EXPECT_EQ(named.Wait(), 0) << named.err;

  ASSERT_EQ(std::system(("cp '" LODRA_MODULE_PATH "' '" + folder + "/lodra_output.so'").c_str()), 0);
  HostProcess beside;
  ASSERT_TRUE(beside.Start(copy, {"--frames", "1", "-o", output}, Stdin::kNull));
  EXPECT_EQ(beside.Wait(), 0) << beside.err;
  EXPECT_EQ(Play(output).pictures.size(), 1u);

  // Without the video module beside it, a video file is refused in one line,
  // and raw frames and the demo (above) still work.
  HostProcess no_video;
  ASSERT_TRUE(no_video.Start(copy, {"-o", TempPath("video.gif"), output}, Stdin::kNull));
  EXPECT_EQ(no_video.Wait(), 5);
  EXPECT_TRUE(Contains(no_video.err, "cannot read video files: the video input lodra_video.so")) << no_video.err;
}

}  // namespace
