// lodra-gif end to end: the program is run as a child process with the real
// plug-in module, and what it writes is decoded with giflib and compared,
// index by index, with what the quantiser gives for the frames fed in.
// Native only: it forks, pipes, signals and reads a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/frames.h"
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

    const DecodedGif gif = Decode(output);
    // A few frames across the animation, index by index.
    ASSERT_NO_FATAL_FAILURE(ExpectDemoGif(gif, lodra_gif::kDemoPictureSize, c.masked, c.want_loop, 75, {0, 19, 40, 74}));
    int transparent = 0;
    for (uint8_t index : gif.frames[0].indices) transparent += index == 0;
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

    ExpectRawGif(Decode(output), c);
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
    ExpectPatternFrames(Decode(output), width, height, c.want_frames, false);
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
  ExpectPatternFrames(Decode(output), 6, 6, 2, false);
}

TEST(HostRawInput, EmptyInputWritesNothing) {
  struct Case {
    const char* what;
    Stdin in;
    int bytes;
    std::string want_message;
  } const cases[] = {
      {"empty pipe", Stdin::kPipe, 0, "holds no whole frame"},
      {"pipe with half a frame", Stdin::kPipe, 20, "ends after 20 of the 48 bytes"},
      {"file shorter than a frame", Stdin::kNull, 47, "holds 47 bytes, less than one 4x4 frame (48 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string input = TempPath("input.raw");
    const std::string output = TempPath("out.gif");
    std::remove(output.c_str());
    Bytes raw = RawStream(4, 4, 1);
    raw.resize(static_cast<size_t>(c.bytes));
    ASSERT_TRUE(WriteBytes(input, raw)) << input;
    HostProcess host;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--size", "4x4", "--rate", "25", "-o", output,
                                            c.in == Stdin::kNull ? input : "-"},
                           c.in, input));
    if (c.in == Stdin::kPipe) host.Write(raw);
    host.CloseStdin();
    EXPECT_EQ(host.Wait(), 5);
    EXPECT_TRUE(Contains(host.err, c.want_message)) << host.err;
    EXPECT_FALSE(FileExists(output)) << "a file without a frame is no GIF";
  }
}

// ----------------------------------------------------------------- Ctrl-C

TEST(HostInterrupt, CtrlCClosesTheGifAfterTheFramesSoFar) {
  const int width = 32, height = 16, sent = 3;
  const std::string output = TempPath("out.gif");
  HostProcess host;
  ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--size", "32x16", "--rate", "25", "-o", output, "-"}, Stdin::kPipe));
  ASSERT_TRUE(host.Write(RawStream(width, height, sent)));
  // The host reads unbuffered: once the pipe is empty it has every frame
  // sent, and is encoding the last or waiting for the next.
  ASSERT_TRUE(host.WaitUntilPipeDrained(std::chrono::seconds(60)));
  host.Interrupt();
  // The pipe stays open: the host must not wait for its end.
  const int status = host.Wait(std::chrono::seconds(60));

  EXPECT_TRUE(HaveWant(status, 130)) << "exit status; " << host.err;
  EXPECT_TRUE(Contains(host.err, "interrupted")) << host.err;
  EXPECT_TRUE(Contains(host.err, std::to_string(sent) + " frames")) << host.err;
  const DecodedGif gif = Decode(output);
  ExpectPatternFrames(gif, width, height, sent, false);
  EXPECT_EQ(gif.comments.size(), 1u) << "closed off with the comment and trailer";
}

// ----------------------------------------------------------------- errors

TEST(HostErrors, EachFailureHasItsMessageAndStatus) {
  const std::string input = TempPath("input.raw");
  ASSERT_TRUE(WriteBytes(input, RawStream(4, 4, 2))) << input;
  const std::string not_a_module = TempPath("not_a_module.so");
  ASSERT_TRUE(WriteBytes(not_a_module, Bytes{'n', 'o', 't', ' ', 'E', 'L', 'F'})) << not_a_module;
  const std::string output = TempPath("out.gif");
  const std::vector<std::string> raw = {"--rate", "25", "-o", output, input};

  const FailureCase cases[] = {
      {"malformed size", {"--size", "4by4", "--rate", "25", "-o", output, input}, 2, "malformed size \"4by4\""},
      {"zero width", {"--size", "0x4", "--rate", "25", "-o", output, input}, 2, "must be 1 to 65535"},
      {"frame too large", {"--size", "65535x65535", "--rate", "25", "-o", output, input}, 2, "bytes, more than"},
      {"mask mode, 1 pixel wide", {"--mask", "--size", "1x4", "--rate", "25", "-o", output, input}, 2,
       "mask mode needs frames at least 2 pixels wide"},
      {"demo too wide for mask mode", {"--mask", "--size", "40000x10", "-o", output}, 2, "twice the picture"},
      {"malformed rate", {"--size", "4x4", "--rate", "fast", "-o", output, input}, 2, "malformed rate \"fast\""},
      {"zero rate", {"--size", "4x4", "--rate", "0/1", "-o", output, input}, 2, "must be above 0"},
      {"zero scale", {"--size", "4x4", "--rate", "25/0", "-o", output, input}, 2, "must be above 0"},
      {"loop out of range", {"--loop", "65536", "-o", output}, 2, "--loop needs a whole number from 0 to 65535"},
      {"no output", {"--size", "4x4", "--rate", "25", input}, 2, "no output file"},
      {"unknown option", {"--speed", "2", "-o", output}, 2, "unknown option --speed"},
      {"raw input without a rate", {"--size", "4x4", "-o", output, input}, 2, "needs --size WxH and --rate"},
      {"missing module", {"--module", TempPath("nowhere.so"), "-o", output}, 3, "cannot load the plug-in module"},
      {"not a library", {"--module", not_a_module, "-o", output}, 3, "cannot load the plug-in module"},
      {"library without the export", {"--module", LODRA_NOT_A_PLUGIN_PATH, "-o", output}, 3,
       "has no GetOutputPluginTable export"},
      {"output folder missing", {"-o", TempPath("no/such/folder.gif")}, 4, "cannot write"},
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
}

TEST(HostErrors, WriteFailureIsAFailedExport) {
  struct Case {
    const char* what;
    std::string size;
    long limit;
    std::string want_message;
    bool want_file;
  } const cases[] = {
      // The plug-in writes through a buffer of a few KiB: a frame must be
      // larger than that for its write to fail at once.
      {"the first frame cannot be written", "320x180", 1000, "could not encode frame 0 or could not write", false},
      {"a later frame cannot be written", "64x64", 12000, "is incomplete, with", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string output = TempPath("out.gif");
    std::remove(output.c_str());
    HostProcess host;
    host.file_size_limit = c.limit;
    ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--size", c.size, "-o", output}, Stdin::kNull));
    EXPECT_EQ(host.Wait(), 1) << host.err;
    EXPECT_TRUE(Contains(host.err, c.want_message)) << host.err;
    EXPECT_FALSE(Contains(host.err, "wrote")) << "no success reported";
    EXPECT_TRUE(HaveWant(FileExists(output), c.want_file)) << "a file without a frame is removed";
  }
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

TEST(HostOutput, RateAbove50WarnsAndSaysHowToLowerIt) {
  struct Case {
    std::string rate;
    bool want_warning;
  } const cases[] = {{"50", false}, {"60000/1001", true}, {"51", true}, {"100/2", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const std::string output = TempPath("out.gif");
    const Outcome run = RunHost({"--rate", c.rate, "--frames", "2", "--size", "8x8", "-o", output});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(HaveWant(Contains(run.err, "warning:"), c.want_warning)) << run.err;
    if (c.want_warning) {
      EXPECT_TRUE(Contains(run.err, "-vf fps=25")) << run.err;
    }
  }
}

TEST(HostOutput, ProgressBarOnlyOnATerminal) {
  const std::string output = TempPath("out.gif");
  HostProcess host;
  ASSERT_TRUE(host.Start(LODRA_GIF_PATH, {"--frames", "12", "--size", "40x20", "-o", output}, Stdin::kNull, "", true));
  ASSERT_EQ(host.Wait(), 0) << host.err;
  EXPECT_TRUE(Contains(host.err, "\r[")) << host.err;
  EXPECT_TRUE(Contains(host.err, "12/12 frames")) << host.err;
  EXPECT_TRUE(Contains(host.err, "fps")) << host.err;
  EXPECT_TRUE(Contains(host.err, "wrote " + output + ": 12 frames")) << host.err;
}

TEST(HostOutput, HelpShowsTheFfmpegPipe) {
  const Outcome run = RunHost({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.out, "ffmpeg -i in.mp4 -f rawvideo -pix_fmt bgr24 - | lodra-gif --size 640x360 "
                                "--rate 25 -o out.gif -"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "130")) << "the exit statuses are listed";
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
  EXPECT_EQ(Decode(output).frames.size(), 1u);
}

}  // namespace
