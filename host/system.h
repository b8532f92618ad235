// Everything lodra-gif does differently on Windows and elsewhere: loading the
// plug-in module, Ctrl-C, the terminal, the command line, files and paths.
// Declared once here and defined twice, in system_posix.cpp and
// system_windows.cpp, of which CMake builds one: no other file of the host
// asks which system it is on.
//
// Text and paths are UTF-8 throughout the program. On Windows they reach the
// system through its wide (UTF-16) API, so any name works; only the plug-in
// is given a name in the system code page (PluginFileName).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace lodra_gif {

// The plug-in module the program loads the way the video editor does:
// lodra_output.auo through LoadLibraryW on Windows, lodra_output.so through
// dlopen elsewhere. One owner; unloaded when it goes.
class Module {
 public:
  Module() = default;
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // False with the system's reason in `error`. A path without a directory
  // names a file in the current directory, not one on the library path.
  bool Load(const std::string& path, std::string* error);
  // The address of the exported function `name`, or null.
  void* Find(const char* name) const;

 private:
  void* handle_ = nullptr;
};

// "lodra_output.auo" on Windows, "lodra_output.so" elsewhere.
const char* ModuleFileName();

// The folder the running program lives in (falling back on argv[0]'s), or
// "" when neither is known.
std::string ExecutableDirectory(const char* argv0);
// `folder` and `name` joined with the system's separator.
std::string JoinPath(const std::string& folder, const std::string& name);
// False when the file's size cannot be read.
bool FileSize(const std::string& path, uint64_t* size);
// fopen of a UTF-8 path; null with errno set.
std::FILE* OpenFile(const std::string& path, const char* mode);
inline bool IsReadableFile(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// The program's arguments in UTF-8. On Windows they are read again from the
// UTF-16 command line: argv has them in the system code page, which cannot
// spell every name.
std::vector<std::string> CommandLineArguments(int argc, char** argv);
// Writes UTF-8 `text` to `stream`: to a Windows console as UTF-16, so that
// every name shows as it is; anywhere else its bytes.
void WriteText(std::FILE* stream, const std::string& text);
// A text of the plug-in table (code page 932) in UTF-8; false when the
// system has no converter or the text is not code page 932.
bool FromCodePage932(const std::string& text, std::string* utf8);
// How many columns the terminal `stream` writes to has; 80 when not known.
int TerminalColumns(std::FILE* stream);

// ------------------------------------------------------- the output's files
// Each of these that can fail gives the system's own reason in `error`
// (strerror, FormatMessageW), without the path.

enum class PathKind {
  kMissing,     // nothing (a link that leads nowhere included)
  kRegular,     // a regular file
  kFolder,      // a folder
  kDevice,      // a device, FIFO or socket (/dev/null, NUL, CON)
  kDescriptor,  // a descriptor the program has open (/dev/stdout, /dev/fd/N,
                // /proc/PID/fd/N), whatever it leads to
};
// What `path` is, following links. False when the system cannot tell (a
// file in place of a folder, a folder that may not be searched, a loop of
// links).
bool ExaminePath(const std::string& path, PathKind* kind, std::string* error);
// Who a file is on its disk: the device and inode, or on Windows the
// volume's serial number and the file index. Two names with one identity
// are one file, however they are spelt (links, "//", "/./", hard links).
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
};
// False when `path` names nothing the system can identify.
bool IdentifyFile(const std::string& path, FileIdentity* identity);
// Whether the existing regular file `path` may be opened for writing as it is
// (a read-only file, a read-only file system); it is not changed.
bool CanWriteFile(const std::string& path, std::string* error);
// The folder `path` is in (".", or the full path on Windows).
std::string FolderOf(const std::string& path);
// The name `path` ends with, after its last separator: "clip.mp4" of
// "in/clip.mp4"; "" when it ends with a separator ("gifs/").
std::string BaseName(const std::string& path);
// Makes the folder `path` in one that is there; true too when another
// made it first.
bool MakeFolder(const std::string& path, std::string* error);
// The name a symbolic link `path` leads to, through every link after it,
// whether or not that name exists; `path` itself when it is no link.
std::string ResolveLinks(const std::string& path);
// The system's folder for temporary files.
std::string TemporaryFolder();
// This process's id, which no other running process has.
unsigned long ProcessId();
enum class NewFile { kCreated, kExists, kFailed };
// Creates `path` as a new empty file, never opening one that exists (kExists),
// its permissions those of `like` when that names a file. `error` gets the
// system's reason unless kCreated.
NewFile CreateNewFile(const std::string& path, const std::string& like, std::string* error);
// Puts `from` in place of `to` in one step, replacing it (rename;
// MoveFileExW with MOVEFILE_REPLACE_EXISTING), once `from` is on the disk.
bool PutInPlace(const std::string& from, const std::string& to, std::string* error);
void RemoveFile(const std::string& path);
// The name of `path` the plug-in can open: the path itself, or on Windows
// the path in the system code page, through the folder's short name when its
// long one cannot be spelled there.
bool PluginFileName(const std::string& path, std::string* name, std::string* error);
// After an export that failed: why the file the plug-in wrote cannot be
// written, as the system says it when a little more is written to it (and
// taken back), or "" when writing works. A regular file takes
// kWriteProbeBytes past its end, so that the last block's slack cannot hide
// a full disk; a device one byte; a pipe nothing (its reader would get it),
// so "".
constexpr size_t kWriteProbeBytes = 64 * 1024;
std::string WriteFailure(const std::string& path);

// True for a regular file, with the bytes from the current position to its
// end in `remaining`; false for pipes, terminals and the like.
bool RegularFileRemaining(std::FILE* file, uint64_t* remaining);
bool IsTerminal(std::FILE* stream);
// Raw frames are binary: Windows must not translate line ends on stdin.
void SetBinaryMode(std::FILE* stream);

// ------------------------------------------------------- runs of its own

// The most runs StartCopy keeps going at once.
constexpr int kMaxCopies = 64;
// Starts another run of this program with `args` after its name, with this
// one's standard input, output and error; `copy` tells it apart. False
// with the system's reason.
bool StartCopy(const std::vector<std::string>& args, unsigned long* copy, std::string* error);
// Waits until one of the runs StartCopy started ends: which, and its exit
// status (for a run a signal ended, 128 + the signal's number, as a shell
// tells it). False when none is running.
bool WaitForCopy(unsigned long* copy, int* status);

// Ctrl-C (SIGINT; the console's Ctrl-C and Ctrl-Break on Windows) sets a flag
// instead of ending the program. A blocking read is interrupted (EINTR) where
// the system does that. When the program was started with Ctrl-C ignored, it
// stays ignored.
//
// A second Ctrl-C ends the program the usual way, after removing the files
// SetSignalCleanup named, and so does every other signal that would end it
// and can be caught (SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGSEGV,
// ...): no part-written file outlives the program, except after SIGKILL,
// which nothing can catch. A signal the program was started with ignored, or
// that the program handles itself, is left as it is. A file too large for
// the file size limit (SIGXFSZ) is a write that fails (EFBIG), reported as
// any other. On Windows the file cannot be removed while the plug-in has it
// open, so there the second Ctrl-C cancels a blocked read and sets
// AbandonRequested: the export stops after the frame in hand and the program
// removes the file itself; a third ends the program at once.
//
// The runs StartCopy started get Ctrl-C from the terminal as this program
// does; a signal another program sent this one (kill) is passed on to them
// first.
void InstallSignalHandlers();
// The line a second Ctrl-C writes to standard error as it ends the program
// ("lodra-gif: ...\n"; on a terminal it starts below the "^C" echoed),
// until SetSignalCleanup(CleanupFile::kGif, "") says the GIF has taken its
// place or is gone. Copied
// here, before any signal needs it. (On Windows the program says it itself:
// see AbandonRequested.)
void SetInterruptFarewell(const std::string& line);
bool InterruptRequested();
bool AbandonRequested();
// The files a signal that ends the program removes first: the GIF being
// made and, while lodra-gif optimises it, the plug-in's own GIF it reads;
// "" for none. Async-signal-safe to use from the handler: the name is
// copied here, before any signal needs it.
enum class CleanupFile { kGif, kPluginGif };
void SetSignalCleanup(CleanupFile which, const std::string& path);

}  // namespace lodra_gif
