// lodra-gif.exe end to end, Windows only (run under Wine by CTest): the host
// is started with CreateProcess, loads the real lodra_output.auo and through
// it the system's GDI+, and what it writes is decoded with giflib and
// compared, index by index, with what the quantiser gives for the frames fed
// in. The native end-to-end tests (host_test) cover the same ground in more
// cases; these check that the Windows program, its module search, its binary
// stdin and its exit statuses work on Windows too.
//
// Every process start costs seconds under Wine (more under emulation), and an
// export with GDI+ more still, so the frames are small and few, and each run
// checks everything it can.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/options.h"
#include "tests/support/gif_decode.h"
#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"
#include "tests/support/host_run.h"

namespace {

using namespace testing_support;

// The build tree's paths are Unix paths; Wine shows the Unix root as Z:.
std::string WindowsPath(const std::string& path) {
  std::string windows = path.size() > 0 && path[0] == '/' ? "Z:" + path : path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}

const std::string& HostProgram() {
  static const std::string path = WindowsPath(LODRA_GIF_PATH);
  return path;
}

// ------------------------------------------------------------ child process

// One handle, closed when it goes; null when there is none (CreateFile's
// INVALID_HANDLE_VALUE included).
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) { Reset(handle); }
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  void Reset(HANDLE handle) {
    Close();
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }
  void Close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// One argument as the C run-time's parser reads it back: in quotes, with
// the backslashes before a quote doubled and the quote escaped.
std::string Quoted(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

struct Outcome {
  int status = -1;  // the exit code; -1 when the host did not start or end
  std::string err;
};

// Runs lodra-gif.exe with `args` to its end. Its stdin is the null device,
// the file `stdin_data` names (kFile) or a pipe that `stdin_data` is written
// into and then closed (kPipe); its stdout and stderr go to files, so the
// host never sees a console.
Outcome RunHost(const std::vector<std::string>& args, Stdin in = Stdin::kNull, const std::string& stdin_data = "") {
  Outcome run;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const std::string err_path = TempPath("stderr.txt");
  Handle err(CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  Handle out(CreateFileA(TempPath("stdout.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  Handle child_in, feed;
  if (in == Stdin::kPipe) {
    HANDLE read_end = nullptr, write_end = nullptr;
    if (CreatePipe(&read_end, &write_end, &inherit, 0)) {
      child_in.Reset(read_end);
      feed.Reset(write_end);
      // The child must not hold the writing end, or it never sees the end.
      SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    }
  } else {
    // Shared for writing: under Wine the child's copy may outlive the child
    // for a moment, and the next case rewrites the file.
    const char* name = in == Stdin::kFile ? stdin_data.c_str() : "NUL";
    child_in.Reset(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  if (err.get() == nullptr || out.get() == nullptr || child_in.get() == nullptr) {
    ADD_FAILURE() << "cannot make the child's standard handles: error " << GetLastError();
    return run;
  }

  std::string command = Quoted(HostProgram());
  for (const std::string& arg : args) command += " " + Quoted(arg);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in.get();
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(HostProgram().c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << HostProgram() << ": error " << GetLastError();
    return run;
  }
  Handle process_handle(process.hProcess), thread_handle(process.hThread);
  // Only the child holds its ends now.
  child_in.Close();
  out.Close();
  err.Close();

  if (in == Stdin::kPipe) {
    size_t done = 0;
    while (done < stdin_data.size()) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(stdin_data.size() - done, 65536));
      if (!WriteFile(feed.get(), stdin_data.data() + done, chunk, &wrote, nullptr) || wrote == 0) break;
      done += wrote;
    }
    EXPECT_EQ(done, stdin_data.size()) << "the host stopped reading its stdin early";
    feed.Close();
  }

  if (WaitForSingleObject(process_handle.get(), 180000) != WAIT_OBJECT_0) {
    TerminateProcess(process_handle.get(), 1000);
    WaitForSingleObject(process_handle.get(), INFINITE);
    ADD_FAILURE() << "the host did not end within 3 minutes";
  } else {
    DWORD code = 0;
    if (GetExitCodeProcess(process_handle.get(), &code)) run.status = static_cast<int>(code);
  }
  const Bytes text = ReadFile(err_path);
  run.err.assign(text.begin(), text.end());
  return run;
}

// ------------------------------------------------------------------ frames

// The shared pattern, with black in places: in mask mode black in the right half makes the pixel
// beside it transparent. Pixel (1, 0) is the bytes 0x0D 0x0A 0x1A, which a
// stdin left in text mode would turn into one byte or stop at.
uint32_t BinaryPatternColour(int n, int x, int y) {
  if (x == 1 && y == 0) return 0x1A0A0D;
  if ((x + 2 * y + n) % 5 == 0) return 0;
  return PatternColour(n, x, y);
}

// ------------------------------------------------------------------ exports

TEST(HostWine, DemoIsExportedThroughTheWindowsModule) {
  // A small picture and a few frames of the demo, found through ../plugin/
  // as in a build tree: the host is given no --module.
  const std::string output = TempPath("demo.gif");
  std::remove(output.c_str());
  const lodra_gif::FrameSize picture = {40, 24};
  const Outcome run = RunHost({"--size", "40x24", "--frames", "3", "-o", output});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "wrote " + output + ": 3 frames, 40x24, 0.12 s at 25 fps")) << run.err;

  const DecodedGif gif = Decode(output);
  EXPECT_TRUE(HaveWant(gif.version, std::string("GIF89a")));
  ExpectDemoGif(gif, picture, false, 0, 3, {0, 1, 2});
}

TEST(HostWine, RawFramesFromAFileAStdinFileAndAPipe) {
  const RawCase cases[] = {
      // Rows of 39 bytes: the host pads them to 40 for the module.
      {"file, odd width", Stdin::kNull, 13, 7, 3, "30000/1001", 30000, 1001, {}, false, 0},
      // Binary stdin (see BinaryPatternColour).
      {"stdin redirected from a file", Stdin::kFile, 10, 6, 2, "29.97", 2997, 100, {}, false, 0},
      {"pipe, mask mode, loop 7", Stdin::kPipe, 20, 8, 3, "12", 12, 1, {"--mask", "--loop", "7"}, true, 7},
  };
  for (const RawCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes raw = RawStream(c.width, c.height, c.frames, BinaryPatternColour);
    const std::string text(raw.begin(), raw.end());
    ASSERT_NE(text.find("\r\n\x1a"), std::string::npos) << "the stream must test binary mode";
    const std::string input = TempPath("input.raw");
    const std::string output = TempPath("out.gif");
    ASSERT_TRUE(WriteBytes(input, raw)) << input;
    std::remove(output.c_str());

    const Outcome run = RunHost(RawArgs(c, input, output), c.in,
                                c.in == Stdin::kPipe ? text : input);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(Contains(run.err, "warning")) << run.err;

    const DecodedGif gif = Decode(output);
    ASSERT_NO_FATAL_FAILURE(ExpectRawGif(gif, c, BinaryPatternColour));
    if (c.masked) {
      const Bytes& first = gif.frames[0].indices;
      EXPECT_GT(std::count(first.begin(), first.end(), 0), 0)
          << "the mask's black pixels make the picture's beside them transparent";
    }
  }
}

// ------------------------------------------------------------------ errors

TEST(HostWine, EachFailureHasItsStatusAndWritesNothing) {
  const std::string input = TempPath("input.raw");
  ASSERT_TRUE(WriteBytes(input, RawStream(4, 4, 2, BinaryPatternColour)));
  const std::string output = TempPath("out.gif");
  // A DLL that loads but is no output plug-in: one of the system's own.
  char system_folder[MAX_PATH] = {0};
  ASSERT_GT(GetSystemDirectoryA(system_folder, MAX_PATH), 0u);
  const std::string not_a_plugin = std::string(system_folder) + "\\kernel32.dll";

  const FailureCase cases[] = {
      {"malformed size", {"--size", "4by4", "--rate", "25", "-o", output, input}, 2, "malformed size \"4by4\""},
      {"missing module", {"--module", TempPath("nowhere.auo"), "--frames", "1", "-o", output}, 3,
       "cannot load the plug-in module"},
      {"DLL without the export", {"--module", not_a_plugin, "--frames", "1", "-o", output}, 3,
       "has no GetOutputPluginTable export"},
      {"output folder missing", {"--frames", "1", "-o", TempPath("no\\such\\folder.gif")}, 4, "cannot write"},
      // A file without --size and --rate is a video file, which this build
      // does not read.
      {"video file", {"-o", output, input}, 2, "reads raw frames only, not video files"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove(output.c_str());
    const Outcome run = RunHost(c.args);
    ExpectFailedRun(run.status, run.err, c, output);
  }
}

}  // namespace
