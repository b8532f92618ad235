#include "host/system.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <io.h>
#include <fcntl.h>
#include <sys/stat.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lodra_gif {
namespace {

// Set from a signal handler natively and from the console's handler thread
// on Windows: a lock-free atomic is safe in both. It counts the presses.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

// What a probe writes past the end of a file after a failed export.
constexpr size_t kProbeBytes = 64 * 1024;

bool HasSeparator(const std::string& path) {
#ifdef _WIN32
  return path.find_first_of("\\/:") != std::string::npos;
#else
  return path.find('/') != std::string::npos;
#endif
}

// A name no other run picks: the process id and a count.
std::string TemporaryName(unsigned attempt) {
#ifdef _WIN32
  const unsigned long process = GetCurrentProcessId();
#else
  const unsigned long process = static_cast<unsigned long>(getpid());
#endif
  return ".lodra-gif-" + std::to_string(process) + "-" + std::to_string(attempt) + ".tmp";
}

#ifdef _WIN32
std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string Narrow(const std::wstring& wide, UINT code_page = CP_UTF8) {
  if (wide.empty()) return std::string();
  const int length = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length, nullptr, nullptr);
  return text;
}

// `wide` in the system code page, false when a character has no spelling
// there (no best-fit stand-ins: "?" or a look-alike would name another file).
bool ToCodePage(const std::wstring& wide, std::string* out) {
  const UINT code_page = GetACP();
  // UTF-8 and UTF-7 spell everything and take no default character.
  const bool lossless = code_page == CP_UTF8 || code_page == CP_UTF7;
  BOOL defaulted = FALSE;
  const DWORD flags = lossless ? 0 : WC_NO_BEST_FIT_CHARS;
  const int length = WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, lossless ? nullptr : &defaulted);
  if (length <= 0 || defaulted) return false;
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()), &text[0], length, nullptr,
                      lossless ? nullptr : &defaulted);
  if (defaulted) return false;
  *out = text;
  return true;
}

std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? Narrow(std::wstring(buffer, length)) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}
std::string LastErrorText() { return ErrorText(GetLastError()); }

// One handle, closed when it goes.
struct FileHandle {
  HANDLE handle;
  explicit FileHandle(HANDLE h) : handle(h) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  bool ok() const { return handle != INVALID_HANDLE_VALUE; }
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The main thread, whose blocked read a second Ctrl-C cancels.
HANDLE g_main_thread = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // The first press asks for a stop; the second for the export to be
  // dropped, which the main thread does as soon as the plug-in returns; the
  // third falls through to the default handler, which ends the process.
  const int presses = g_interrupted.fetch_add(1) + 1;
  if (presses == 2 && g_main_thread != nullptr) CancelSynchronousIo(g_main_thread);
  return presses <= 2 ? TRUE : FALSE;
}
#else
std::string ErrnoText(int error) { return std::strerror(error); }

// The file the second Ctrl-C removes, kept where a signal handler can read it.
char g_cleanup_path[4096];
std::atomic<int> g_cleanup_armed{0};

void RemoveCleanupFile() {
  if (g_cleanup_armed.load() != 0) unlink(g_cleanup_path);
}

// Ends the program the way `signal_number` does by default, once the handler
// returns (the signal is blocked until then). All async-signal-safe.
void EndBySignal(int signal_number) {
  RemoveCleanupFile();
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void OnInterrupt(int signal_number) {
  if (g_interrupted.fetch_add(1) == 0) return;  // the first asks for a stop
  EndBySignal(signal_number);
}

void OnTerminate(int signal_number) { EndBySignal(signal_number); }

// Installs `handler` for `signal_number` unless the program was started with
// it ignored. No SA_RESTART: a read blocked on a quiet pipe returns EINTR, so
// the stop is seen at once.
void Handle(int signal_number, void (*handler)(int)) {
  struct sigaction previous;
  if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) return;
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(signal_number, &action, nullptr);
}
#endif

}  // namespace

Module::~Module() {
  if (handle_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

bool Module::Load(const std::string& path, std::string* error) {
  if (handle_ != nullptr) {
    *error = "a module is loaded already";
    return false;
  }
#ifdef _WIN32
  // A bare name would be looked for in the system folders first.
  const std::string where = HasSeparator(path) ? path : ".\\" + path;
  // No "cannot find a DLL" message box: the reason goes to the command line.
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryW(Widen(where).c_str());
  const std::string reason = module == nullptr ? LastErrorText() : std::string();
  SetErrorMode(previous);
  if (module == nullptr) {
    *error = reason;
    return false;
  }
  handle_ = module;
#else
  // A bare name would be looked for on the library path.
  const std::string where = HasSeparator(path) ? path : "./" + path;
  handle_ = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "dlopen failed";
    return false;
  }
#endif
  return true;
}

void* Module::Find(const char* name) const {
  if (handle_ == nullptr) return nullptr;
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
  return dlsym(handle_, name);
#endif
}

const char* ModuleFileName() {
#ifdef _WIN32
  return "lodra_output.auo";
#else
  return "lodra_output.so";
#endif
}

std::string ExecutableDirectory(const char* argv0) {
  std::string program;
#ifdef _WIN32
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
  if (length > 0 && length < buffer.size()) program = Narrow(buffer.substr(0, length));
  const char* separators = "\\/:";
#else
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length > 0 && static_cast<size_t>(length) < sizeof buffer) program.assign(buffer, static_cast<size_t>(length));
  const char* separators = "/";
#endif
  if (program.empty() && argv0 != nullptr) program = argv0;
  const size_t last = program.find_last_of(separators);
  if (last == std::string::npos) return std::string();
  return program.substr(0, last + 1 == 1 ? 1 : last);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
#ifdef _WIN32
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  if (folder.empty()) return name;
  if (folder.back() == separator || folder.back() == '/') return folder + name;
  return folder + separator + name;
}

bool IsReadableFile(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool FileSize(const std::string& path, uint64_t* size) {
#ifdef _WIN32
  struct _stati64 info;
  if (_wstati64(Widen(path).c_str(), &info) != 0) return false;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
#endif
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
#ifdef _WIN32
  return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
#ifdef _WIN32
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 0; i < count; ++i) arguments.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return arguments;
  }
#endif
  for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
  return arguments;
}

void WriteText(std::FILE* stream, const std::string& text) {
#ifdef _WIN32
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    const std::wstring wide = Widen(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::string PluginText(const char* text) {
  const std::string bytes = text != nullptr ? text : "";
#ifdef _WIN32
  const int length = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                         nullptr, 0);
  if (length > 0) {
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), &wide[0], length);
    return Narrow(wide);
  }
#else
  const iconv_t convert = iconv_open("UTF-8", "CP932");
  if (convert != reinterpret_cast<iconv_t>(-1)) {
    std::string out(4 * bytes.size() + 4, '\0');
    char* in_at = const_cast<char*>(bytes.data());
    size_t in_left = bytes.size();
    char* out_at = &out[0];
    size_t out_left = out.size();
    const size_t done = iconv(convert, &in_at, &in_left, &out_at, &out_left);
    iconv_close(convert);
    if (done != static_cast<size_t>(-1) && in_left == 0) {
      out.resize(out.size() - out_left);
      return out;
    }
  }
#endif
  // No converter: the ASCII part, and "?" for the rest.
  std::string ascii = bytes;
  for (char& c : ascii)
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  return ascii;
}

int TerminalColumns(std::FILE* stream) {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
  struct winsize size = {};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

bool ExaminePath(const std::string& path, PathKind* kind, std::string* error) {
#ifdef _WIN32
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *kind = PathKind::kFolder;
    return true;
  }
  // Opened for no access at all: devices such as NUL answer too.
  FileHandle file(CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.ok()) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND) {
      *error = ErrorText(code);
      return false;
    }
    *kind = PathKind::kMissing;
    return true;
  }
  *kind = GetFileType(file.handle) == FILE_TYPE_DISK ? PathKind::kRegular : PathKind::kOther;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      *error = ErrnoText(errno);
      return false;
    }
    *kind = PathKind::kMissing;
    return true;
  }
  *kind = S_ISREG(info.st_mode) ? PathKind::kRegular : S_ISDIR(info.st_mode) ? PathKind::kFolder : PathKind::kOther;
  // Under /dev and /proc a name stands for a device or an open file
  // (/dev/stdout is whatever standard output is): written where it is, even
  // when that is a regular file.
  if (*kind == PathKind::kRegular && (path.compare(0, 5, "/dev/") == 0 || path.compare(0, 6, "/proc/") == 0))
    *kind = PathKind::kOther;
#endif
  return true;
}

bool CanWriteFile(const std::string& path, std::string* error) {
#ifdef _WIN32
  FileHandle file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.ok()) {
    *error = LastErrorText();
    return false;
  }
#else
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText(errno);
    return false;
  }
  close(fd);
#endif
  return true;
}

std::string FolderOf(const std::string& path) {
#ifdef _WIN32
  // The full path takes care of "C:name" and the like.
  const std::wstring wide = Widen(path);
  wchar_t* name = nullptr;
  std::wstring full(32768, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], &name);
  if (length == 0 || length >= full.size() || name == nullptr) return ".";
  size_t end = static_cast<size_t>(name - full.data());
  // "C:\" keeps its separator; "C:\folder\" does not.
  if (end > 3 && (full[end - 1] == L'\\' || full[end - 1] == L'/')) --end;
  return Narrow(full.substr(0, end));
#else
  const size_t last = path.rfind('/');
  if (last == std::string::npos) return ".";
  return last == 0 ? "/" : path.substr(0, last);
#endif
}

std::string ResolveLinks(const std::string& path) {
#ifndef _WIN32
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      const std::string target = resolved;
      std::free(resolved);
      return target;
    }
  }
#endif
  return path;
}

std::string TemporaryFolder() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH + 2] = {0};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length > 0 && length <= MAX_PATH + 1) return Narrow(std::wstring(buffer, length));
  return ".";
#else
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
#endif
}

bool CreateTemporaryFile(const std::string& folder, const std::string& like, std::string* path,
                         std::string* error) {
#ifdef _WIN32
  (void)like;  // the file's security comes from its folder, as any new file's
#endif
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = JoinPath(folder, TemporaryName(attempt));
#ifdef _WIN32
    FileHandle file(CreateFileW(Widen(candidate).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      *error = ErrorText(code);
      return false;
    }
#else
    // 0666 less the umask, as any new file gets; or the replaced file's.
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *error = ErrnoText(errno);
      return false;
    }
    struct stat info;
    if (!like.empty() && stat(like.c_str(), &info) == 0) {
      fchmod(fd, info.st_mode & 07777);
      // Only root may give a file away; the others keep it as their own.
      if (info.st_uid != geteuid() && fchown(fd, info.st_uid, info.st_gid) != 0) fchmod(fd, info.st_mode & 0777);
    }
    close(fd);
#endif
    *path = candidate;
    return true;
  }
#ifdef _WIN32
  *error = ErrorText(ERROR_FILE_EXISTS);
#else
  *error = ErrnoText(EEXIST);
#endif
  return false;
}

bool PutInPlace(const std::string& from, const std::string& to, std::string* error) {
#ifdef _WIN32
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = LastErrorText();
    return false;
  }
#else
  // On the disk before its name is: a crash must not leave an empty file
  // in place of the old one.
  const int fd = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  if (rename(from.c_str(), to.c_str()) != 0) {
    *error = ErrnoText(errno);
    return false;
  }
#endif
  return true;
}

void RemoveFile(const std::string& path) {
#ifdef _WIN32
  DeleteFileW(Widen(path).c_str());
#else
  unlink(path.c_str());
#endif
}

bool PluginFileName(const std::string& path, std::string* name, std::string* error) {
#ifdef _WIN32
  const std::wstring wide = Widen(path);
  if (ToCodePage(wide, name)) return true;
  // The file's own name is ours and plain ASCII: its folder's short name
  // (8.3, ASCII) may do where the long one cannot be spelled.
  const size_t last = wide.find_last_of(L"\\/");
  if (last != std::wstring::npos) {
    std::wstring folder(32768, L'\0');
    const DWORD length =
        GetShortPathNameW(wide.substr(0, last).c_str(), &folder[0], static_cast<DWORD>(folder.size()));
    if (length > 0 && length < folder.size() &&
        ToCodePage(folder.substr(0, length) + wide.substr(last), name))
      return true;
  }
  *error = "the plug-in takes file names in code page " + std::to_string(GetACP()) +
           ", which cannot spell this one or its folder's";
  return false;
#else
  (void)error;
  *name = path;
  return true;
#endif
}

std::string WriteFailure(const std::string& path) {
  static const char zeros[kProbeBytes] = {};
#ifdef _WIN32
  FileHandle file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.ok()) return LastErrorText();
  const DWORD type = GetFileType(file.handle);
  if (type == FILE_TYPE_CHAR) {
    DWORD wrote = 0;
    return WriteFile(file.handle, zeros, 1, &wrote, nullptr) ? std::string() : LastErrorText();
  }
  if (type != FILE_TYPE_DISK) return std::string();
  LARGE_INTEGER size = {}, zero = {};
  if (!GetFileSizeEx(file.handle, &size) || !SetFilePointerEx(file.handle, zero, nullptr, FILE_END))
    return LastErrorText();
  std::string reason;
  size_t done = 0;
  while (done < kProbeBytes) {
    DWORD wrote = 0;
    if (!WriteFile(file.handle, zeros + done, static_cast<DWORD>(kProbeBytes - done), &wrote, nullptr)) {
      reason = LastErrorText();
      break;
    }
    if (wrote == 0) break;
    done += wrote;
  }
  SetFilePointerEx(file.handle, size, nullptr, FILE_BEGIN);
  SetEndOfFile(file.handle);
  return reason;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return ErrnoText(errno);
  const bool regular = S_ISREG(info.st_mode);
  if (!regular && !S_ISCHR(info.st_mode)) return std::string();
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | (regular ? O_APPEND : 0));
  if (fd < 0) return ErrnoText(errno);
  const size_t want = regular ? kProbeBytes : 1;
  size_t done = 0;
  int error = 0;
  while (done < want) {
    const ssize_t n = write(fd, zeros + done, want - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (regular && ftruncate(fd, info.st_size) != 0 && error == 0) error = errno;
  close(fd);
  return error != 0 ? ErrnoText(error) : std::string();
#endif
}

bool RegularFileRemaining(std::FILE* file, uint64_t* remaining) {
#ifdef _WIN32
  const int fd = _fileno(file);
  struct _stati64 info;
  if (_fstati64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
  const int64_t position = _lseeki64(fd, 0, SEEK_CUR);
#else
  const int fd = fileno(file);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int64_t position = lseek(fd, 0, SEEK_CUR);
#endif
  const int64_t size = static_cast<int64_t>(info.st_size);
  if (position < 0 || position > size) return false;
  *remaining = static_cast<uint64_t>(size - position);
  return true;
}

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

void SetBinaryMode(std::FILE* stream) {
#ifdef _WIN32
  _setmode(_fileno(stream), _O_BINARY);
#else
  (void)stream;
#endif
}

void InstallInterruptHandler() {
#ifdef _WIN32
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  Handle(SIGINT, OnInterrupt);
  Handle(SIGTERM, OnTerminate);
  Handle(SIGHUP, OnTerminate);
  // A reader that goes away (lodra-gif -o - | head) makes the write fail
  // with EPIPE, which is reported like any failed write and removes the
  // temporary file, rather than ending the program where it stands.
  signal(SIGPIPE, SIG_IGN);
#endif
}

bool InterruptRequested() { return g_interrupted.load() != 0; }

bool AbandonRequested() { return g_interrupted.load() >= 2; }

void SetInterruptCleanup(const std::string& path) {
#ifdef _WIN32
  (void)path;  // the main thread removes it (see AbandonRequested)
#else
  g_cleanup_armed.store(0);
  if (path.empty() || path.size() >= sizeof g_cleanup_path) return;
  std::memcpy(g_cleanup_path, path.c_str(), path.size() + 1);
  g_cleanup_armed.store(1);
#endif
}

}  // namespace lodra_gif
