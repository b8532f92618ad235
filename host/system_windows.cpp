// The system seam on Windows: LoadLibraryW, the console's Ctrl-C, and every
// file and name through the wide (UTF-16) API. Its POSIX twin is
// system_posix.cpp; CMake builds one of the two.
#include "host/system.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <io.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace lodra_gif {
namespace {

// Set from the console's handler thread: a lock-free atomic. It counts the
// presses of Ctrl-C.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from the console's handler");

constexpr const char* kSeparators = "\\/:";

bool HasSeparator(const std::string& path) { return path.find_first_of(kSeparators) != std::string::npos; }

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

}  // namespace

Module::~Module() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool Module::Load(const std::string& path, std::string* error) {
  if (handle_ != nullptr) {
    *error = "a module is loaded already";
    return false;
  }
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
  return true;
}

void* Module::Find(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

const char* ModuleFileName() { return "lodra_output.auo"; }

std::string ExecutableDirectory(const char* argv0) {
  std::string program;
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
  if (length > 0 && length < buffer.size()) program = Narrow(buffer.substr(0, length));
  if (program.empty() && argv0 != nullptr) program = argv0;
  const size_t last = program.find_last_of(kSeparators);
  if (last == std::string::npos) return std::string();
  return program.substr(0, last + 1 == 1 ? 1 : last);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + '\\' + name;
}

bool FileSize(const std::string& path, uint64_t* size) {
  struct _stati64 info;
  if (_wstati64(Widen(path).c_str(), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 0; i < count; ++i) arguments.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return arguments;
  }
  for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
  return arguments;
}

void WriteText(std::FILE* stream, const std::string& text) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    const std::wstring wide = Widen(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

bool FromCodePage932(const std::string& text, std::string* utf8) {
  if (text.empty()) {
    utf8->clear();
    return true;
  }
  const int length =
      MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(932, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  *utf8 = Narrow(wide);
  return true;
}

int TerminalColumns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(handle, &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

bool ExaminePath(const std::string& path, PathKind* kind, std::string* error) {
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
  *kind = GetFileType(file.handle) == FILE_TYPE_DISK ? PathKind::kRegular : PathKind::kDevice;
  return true;
}

bool IdentifyFile(const std::string& path, FileIdentity* identity) {
  // Opened for no access at all, a folder too (backup semantics).
  FileHandle file(
      CreateFileW(Widen(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.ok() || !GetFileInformationByHandle(file.handle, &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool CanWriteFile(const std::string& path, std::string* error) {
  FileHandle file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.ok()) {
    *error = LastErrorText();
    return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
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
}

std::string BaseName(const std::string& path) {
  const size_t last = path.find_last_of(kSeparators);
  return last == std::string::npos ? path : path.substr(last + 1);
}

bool MakeFolder(const std::string& path, std::string* error) {
  const std::wstring wide = Widen(path);
  if (CreateDirectoryW(wide.c_str(), nullptr)) return true;
  const DWORD code = GetLastError();
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (code == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return true;
  *error = ErrorText(code);
  return false;
}

std::string ResolveLinks(const std::string& path) { return path; }  // no links to follow here

std::string TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 2] = {0};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length > 0 && length <= MAX_PATH + 1) return Narrow(std::wstring(buffer, length));
  return ".";
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

// The file's security comes from its folder, as any new file's: `like` is
// not needed.
NewFile CreateNewFile(const std::string& path, const std::string&, std::string* error) {
  FileHandle file(
      CreateFileW(Widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.ok()) return NewFile::kCreated;
  const DWORD code = GetLastError();
  *error = ErrorText(code);
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? NewFile::kExists : NewFile::kFailed;
}

bool PutInPlace(const std::string& from, const std::string& to, std::string* error) {
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = LastErrorText();
    return false;
  }
  return true;
}

void RemoveFile(const std::string& path) { DeleteFileW(Widen(path).c_str()); }

bool PluginFileName(const std::string& path, std::string* name, std::string* error) {
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
}

std::string WriteFailure(const std::string& path) {
  static const char zeros[kWriteProbeBytes] = {};
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
  while (done < kWriteProbeBytes) {
    DWORD wrote = 0;
    if (!WriteFile(file.handle, zeros + done, static_cast<DWORD>(kWriteProbeBytes - done), &wrote, nullptr)) {
      reason = LastErrorText();
      break;
    }
    if (wrote == 0) break;
    done += wrote;
  }
  SetFilePointerEx(file.handle, size, nullptr, FILE_BEGIN);
  SetEndOfFile(file.handle);
  return reason;
}

bool RegularFileRemaining(std::FILE* file, uint64_t* remaining) {
  const int fd = _fileno(file);
  struct _stati64 info;
  if (_fstati64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
  const int64_t position = _lseeki64(fd, 0, SEEK_CUR);
  const int64_t size = static_cast<int64_t>(info.st_size);
  if (position < 0 || position > size) return false;
  *remaining = static_cast<uint64_t>(size - position);
  return true;
}

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void SetBinaryMode(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

namespace {

// The runs StartCopy started that have not ended, and their ids.
HANDLE g_copies[kMaxCopies] = {};
DWORD g_copy_ids[kMaxCopies] = {};

// `arg` as the C run-time's parser (and CommandLineToArgvW) reads it back:
// in quotes when it holds a blank or a quote or is empty, a quote escaped,
// and backslashes doubled where a quote follows them.
std::wstring QuotedArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

}  // namespace

bool StartCopy(const std::vector<std::string>& args, unsigned long* copy, std::string* error) {
  std::wstring self(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
  if (length == 0 || length >= self.size()) {
    *error = "cannot find this program's file: " + LastErrorText();
    return false;
  }
  self.resize(length);
  std::wstring command_line = QuotedArgument(self);
  for (const std::string& arg : args) command_line += L" " + QuotedArgument(Widen(arg));
  int place = 0;
  while (place < kMaxCopies && g_copies[place] != nullptr) ++place;
  if (place == kMaxCopies) {
    *error = "more than " + std::to_string(kMaxCopies) + " runs at once";
    return false;
  }
  // The run writes where this one does: its standard handles, inherited.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
      SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(self.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    *error = LastErrorText();
    return false;
  }
  CloseHandle(process.hThread);
  g_copies[place] = process.hProcess;
  g_copy_ids[place] = process.dwProcessId;
  *copy = process.dwProcessId;
  return true;
}

bool WaitForCopy(unsigned long* copy, int* status) {
  HANDLE running[kMaxCopies];
  int places[kMaxCopies];
  DWORD count = 0;
  for (int place = 0; place < kMaxCopies; ++place) {
    if (g_copies[place] == nullptr) continue;
    running[count] = g_copies[place];
    places[count++] = place;
  }
  if (count == 0) return false;
  const DWORD which = WaitForMultipleObjects(count, running, FALSE, INFINITE);
  if (which >= WAIT_OBJECT_0 + count) return false;
  const int place = places[which - WAIT_OBJECT_0];
  DWORD code = 0;
  GetExitCodeProcess(g_copies[place], &code);
  CloseHandle(g_copies[place]);
  g_copies[place] = nullptr;
  *copy = g_copy_ids[place];
  *status = static_cast<int>(code);
  return true;
}

void InstallSignalHandlers() {
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool InterruptRequested() { return g_interrupted.load() != 0; }

bool AbandonRequested() { return g_interrupted.load() >= 2; }

void SetSignalCleanup(CleanupFile, const std::string&) {}  // the main thread removes them (see AbandonRequested)

void SetInterruptFarewell(const std::string&) {}  // the main thread says why it stopped

}  // namespace lodra_gif
