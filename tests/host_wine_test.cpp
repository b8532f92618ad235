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
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "host/frame_format.h"
#include "tests/support/gif_decode.h"
#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"
#include "tests/support/host_run.h"

namespace {

using namespace testing_support;

namespace fs = std::filesystem;

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
  return wide;
}

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

// Runs lodra-gif.exe with `args` (UTF-8, passed on as UTF-16) to its end.
// Its stdin is the null device, the file `stdin_data` names (kFile) or a
// pipe that `stdin_data` is written into and then closed (kPipe); its stdout
// and stderr go to files, so the host never sees a console.
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
  std::wstring wide_command = Widen(command);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in.get();
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(Widen(HostProgram()).c_str(), &wide_command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
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

  EXPECT_TRUE(HaveWant(Decode(output).version, std::string("GIF89a")));
  ExpectDemoGif(Play(output), picture, false, 0, 3, {0, 1, 2});
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

    const Playback gif = Play(output);
    ASSERT_NO_FATAL_FAILURE(ExpectRawGif(gif, c, BinaryPatternColour));
    if (c.masked) {
      const std::vector<uint32_t>& first = gif.pictures[0].pixels;
      EXPECT_GT(std::count(first.begin(), first.end(), 0u), 0)
          << "the mask's black pixels make the picture's beside them transparent";
    }
  }
}

TEST(HostWine, TheOptimisedGifPlaysAsThePlugInsOwn) {
  // Three frames of one picture, then another: the optimiser, plain C++ on
  // its own threads, merges two; --no-optimize keeps the plug-in's four.
  const FrameColour still_then_moving = [](int n, int x, int y) { return BinaryPatternColour(n < 3 ? 0 : 1, x, y); };
  const std::string input = TempPath("input.raw"), plugins = TempPath("plugins.gif"), output = TempPath("out.gif");
  ASSERT_TRUE(WriteBytes(input, RawStream(12, 8, 4, still_then_moving)));
  const Outcome plain = RunHost({"--size", "12x8", "--rate", "25", "--no-optimize", "-o", plugins, input});
  const Outcome optimised = RunHost({"--size", "12x8", "--rate", "25", "-o", output, input});
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(optimised.status, 0) << optimised.err;
  EXPECT_TRUE(Contains(optimised.err, "4 frames (2 once repeats are merged)")) << optimised.err;
  EXPECT_TRUE(HaveWant(Decode(plugins).frames.size(), size_t{4}));
  EXPECT_TRUE(HaveWant(Decode(output).frames.size(), size_t{2}));
  EXPECT_EQ(PlaybackDifference(Play(output), Play(plugins)), "");
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

  // The input as the output, spelt with the other separator and a "\.\":
  // one file by its volume and index, refused and left as it was.
  const Bytes raw = ReadFile(input);
  std::string spelt = input;
  for (char& c : spelt)
    if (c == '/') c = '\\';
  spelt.insert(spelt.find_last_of('\\'), "\\.");
  const Outcome same = RunHost({"--size", "4x4", "--rate", "25", "-o", spelt, input});
  EXPECT_TRUE(HaveWant(same.status, 2)) << "exit status; " << same.err;
  EXPECT_TRUE(Contains(same.err, "the input and the output are the same file")) << same.err;
  EXPECT_TRUE(ReadFile(input) == raw) << "the input was changed";
}

// ------------------------------------------------------- the file system
// Names the system code page cannot spell, for input, output and their
// folder: Japanese (code page 932 has them, 1252 does not) and an emoji (no
// code page has it). Run in the default locale and, as
// host_wine_test_ja, in the Japanese one (LODRA_WANT_CODE_PAGE says which).

std::string UnixFree(const std::string& path) {
  std::string windows = path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}

std::string SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring wide = length > 0 ? std::wstring(buffer, length) : std::wstring();
  if (buffer != nullptr) LocalFree(buffer);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' || wide.back() == L'.'))
    wide.pop_back();
  return fs::path(wide).u8string();
}

const Bytes kOldBytes = {'n', 'o', 't', ' ', 'a', ' ', 'G', 'I', 'F'};

TEST(HostWineFiles, UnicodeNamesAndAnExistingFileKeptUnlessReplaced) {
  if (const char* want = std::getenv("LODRA_WANT_CODE_PAGE")) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(want))) << "the locale did not reach Wine";
  }
  const std::string japanese = "\xE5\x87\xBA\xE5\x8A\x9B";  // "output"
  const std::string emoji = "\xF0\x9F\x8E\x9E";            // U+1F39E, film frames
  const std::string top = UnixFree(TempPath("files"));
  std::error_code ignored;
  fs::remove_all(fs::u8path(top), ignored);

  struct Case {
    const char* what;
    std::string folder;  // under `top`, made for the case
    std::string input;   // "" for the demo, "-" for an empty pipe
    std::string output;  // in the folder unless it names a device
    bool existing;       // the output holds kOldBytes first
    bool read_only;      // and is read-only
    bool in_use;         // and another program has it open, not shared for writing
    int want_status;
    std::string want_message;  // {out}: the output's path
    bool want_gif;             // else the output as it was
  };
  const Case cases[] = {
      {"Japanese names, replacing a file", japanese, japanese + ".raw", japanese + ".gif", true, false, false, 0,
       "wrote {out}: 3 frames, 8x6, 0.12 s at 25 fps", true},
      {"emoji names, a new file", emoji + "clips", emoji + ".raw", emoji + ".gif", false, false, false, 0,
       "wrote {out}: 3 frames", true},
      {"an empty pipe keeps the file", emoji + japanese, "-", japanese + emoji + ".gif", true, false, false, 5,
       "standard input holds no whole frame; {out} is left as it was", false},
      {"a missing folder", japanese + "\\" + emoji, "", "no\\" + japanese + ".gif", false, false, false, 4,
       "cannot write {out}: " + SystemText(ERROR_PATH_NOT_FOUND), false},
      {"a folder", japanese, "", emoji, false, false, false, 4, "cannot write {out}: Is a directory", false},
      {"a read-only file", japanese, "", japanese + ".gif", true, true, false, 4,
       "cannot write {out}: " + SystemText(ERROR_ACCESS_DENIED), false},
      {"a file in use", emoji, "", japanese + ".gif", true, false, true, 4,
       "cannot write {out}: " + SystemText(ERROR_SHARING_VIOLATION), false},
      // Wine's /dev/full: a device, written directly, whose writes fail.
      {"a full device", "", "", "Z:\\dev\\full", false, false, false, 4, "cannot write {out}: " + SystemText(ERROR_DISK_FULL),
       false},
      {"the null device", "", "", "NUL", false, false, false, 0, "wrote NUL: 3 frames", false},
  };
  std::vector<std::string> skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = top + "\\" + c.folder;
    ASSERT_TRUE(fs::create_directories(fs::u8path(folder)));
    const bool device = c.output == "NUL" || c.output.compare(0, 3, "Z:\\") == 0;
    const std::string out = device ? c.output : folder + "\\" + c.output;
    if (c.output == emoji) fs::create_directory(fs::u8path(out));
    if (c.existing) {
      ASSERT_TRUE(WriteBytes(out, kOldBytes)) << out;
    }
    if (c.read_only) {
      SetFileAttributesW(Widen(out).c_str(), FILE_ATTRIBUTE_READONLY);
      // Wine run as root lets the owner's write bits decide, and root
      // writes anyway.
      const HANDLE probe =
          CreateFileW(Widen(out).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        skipped.push_back(std::string(c.what) + ": the read-only attribute does not stop this user (root)");
        SetFileAttributesW(Widen(out).c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(fs::u8path(top), ignored);
        continue;
      }
    }
    std::vector<std::string> args = {"-o", out, "--size", "8x6", "--frames", "3"};
    Stdin in = Stdin::kNull;
    if (c.input == "-") {
      args.insert(args.end(), {"--rate", "25", "-"});
      in = Stdin::kPipe;
    } else if (!c.input.empty()) {
      const std::string input = folder + "\\" + c.input;
      ASSERT_TRUE(WriteBytes(input, RawStream(8, 6, 3, BinaryPatternColour)));
      args.insert(args.end(), {"--rate", "25", input});
    }
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::u8path(folder))) names.insert(entry.path().filename().u8string());

    // Held by "another program" for the run: read, shared for reading only.
    Handle holder;
    if (c.in_use) {
      holder.Reset(CreateFileW(Widen(out).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_NE(holder.get(), nullptr) << "error " << GetLastError();
    }
    const Outcome run = RunHost(args, in);
    holder.Close();
    EXPECT_TRUE(HaveWant(run.status, c.want_status)) << "exit status; " << run.err;
    std::string want = c.want_message;
    const size_t at = want.find("{out}");
    if (at != std::string::npos) want.replace(at, 5, out);
    EXPECT_TRUE(Contains(run.err, want)) << "have " << run.err << "want " << want;

    const Bytes after = device ? Bytes() : ReadFile(out);
    if (c.want_gif) {
      ExpectPatternFrames(PlayBytes(after), 8, 6, 3, false, BinaryPatternColour);
      if (!c.existing) names.insert(c.output);
    } else if (c.existing) {
      EXPECT_TRUE(after == kOldBytes) << out << " was changed";
    } else if (!device && c.output != emoji) {
      EXPECT_FALSE(fs::exists(fs::u8path(out))) << out << " was made";
    }
    std::set<std::string> now;
    for (const auto& entry : fs::directory_iterator(fs::u8path(folder))) now.insert(entry.path().filename().u8string());
    EXPECT_TRUE(HaveWant(now, names)) << "the folder's files: no temporary file left";
    if (c.read_only) SetFileAttributesW(Widen(out).c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(fs::u8path(top), ignored);
  }
  for (const std::string& why : skipped) std::printf("skipped %s\n", why.c_str());
}

// ------------------------------------------------------- several inputs

TEST(HostWine, SeveralInputsEachByARunOfItsOwn) {
  // Names with a space and names no code page spells, passed on to the runs
  // through their UTF-16 command lines; a broken input between them.
  const std::string top = UnixFree(TempPath("several"));
  std::error_code ignored;
  fs::remove_all(fs::u8path(top), ignored);
  ASSERT_TRUE(fs::create_directories(fs::u8path(top + "\\in put")));
  const std::vector<std::string> names = {"a b", "\xE5\x87\xBA\xE5\x8A\x9B", "broken"};
  std::vector<std::string> args = {"--size", "8x6", "--rate", "25", "--jobs", "2", "-o", top + "\\gifs out\\"};
  for (const std::string& name : names) {
    args.push_back(top + "\\in put\\" + name + ".raw");
    ASSERT_TRUE(WriteBytes(args.back(), name == "broken" ? Bytes{1, 2} : RawStream(8, 6, 3, BinaryPatternColour)));
  }
  const Outcome run = RunHost(args);
  EXPECT_TRUE(HaveWant(run.status, 5)) << run.err;
  EXPECT_TRUE(Contains(run.err, "2 of 3 GIFs written in " + top + "\\gifs out\\; 1 failed")) << run.err;
  std::set<std::string> made;
  for (const auto& entry : fs::directory_iterator(fs::u8path(top + "\\gifs out"))) made.insert(entry.path().filename().u8string());
  EXPECT_TRUE(HaveWant(made, std::set<std::string>{names[0] + ".gif", names[1] + ".gif"}));
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(names[i]);
    ExpectPatternFrames(Play(top + "\\gifs out\\" + names[i] + ".gif"), 8, 6, 3, false, BinaryPatternColour);
  }
  fs::remove_all(fs::u8path(top), ignored);
}

}  // namespace
