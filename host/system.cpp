#include "host/system.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <fcntl.h>
#include <sys/stat.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace lodra_gif {
namespace {

// Set from a signal handler natively and from the console's handler thread
// on Windows: a lock-free atomic is safe in both.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

bool HasSeparator(const std::string& path) {
#ifdef _WIN32
  return path.find_first_of("\\/:") != std::string::npos;
#else
  return path.find('/') != std::string::npos;
#endif
}

#ifdef _WIN32
std::string LastErrorText() {
  const DWORD code = GetLastError();
  char buffer[512] = {0};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // The first press asks for a stop; the second falls through to the
  // default handler, which ends the process.
  return g_interrupted.exchange(1) == 0 ? TRUE : FALSE;
}
#else
void OnInterrupt(int) { g_interrupted.store(1); }
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
  HMODULE module = LoadLibraryA(where.c_str());
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
  char buffer[MAX_PATH + 1] = {0};
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) program.assign(buffer, length);
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
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool FileSize(const std::string& path, uint64_t* size) {
#ifdef _WIN32
  struct _stati64 info;
  if (_stati64(path.c_str(), &info) != 0) return false;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
#endif
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

void RemoveRegularFile(const std::string& path) {
#ifdef _WIN32
  struct _stati64 info;
  if (_stati64(path.c_str(), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
#endif
  std::remove(path.c_str());
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
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  struct sigaction previous;
  if (sigaction(SIGINT, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) return;
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read blocked on a quiet pipe returns EINTR, so the stop
  // is seen at once. SA_RESETHAND: a second Ctrl-C ends the program.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
#endif
}

bool InterruptRequested() { return g_interrupted.load() != 0; }

}  // namespace lodra_gif
