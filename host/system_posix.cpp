// The system seam on Linux: dlopen, signals, and the file calls on UTF-8
// paths as they are. Its Windows twin is system_windows.cpp; CMake builds
// one of the two.
#include "host/system.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace lodra_gif {
namespace {

// Set from a signal handler: a lock-free atomic is safe there. It counts
// the presses of Ctrl-C.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

bool HasSeparator(const std::string& path) { return path.find('/') != std::string::npos; }

std::string ErrnoText(int error) { return std::strerror(error); }

// As many links as the system follows in one name before it says ELOOP.
constexpr int kMaxLinks = 40;

// `*path`, a symbolic link, replaced by the name it holds, read from the
// link's folder; false when it cannot be read.
bool FollowLink(std::string* path) {
  char target[4096];
  const ssize_t length = readlink(path->c_str(), target, sizeof target);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return false;
  const std::string name(target, static_cast<size_t>(length));
  if (name[0] == '/' || path->find('/') == std::string::npos) {
    *path = name;
  } else {
    *path = JoinPath(FolderOf(*path), name);
  }
  return true;
}

// The files a signal that ends the program removes, kept where a signal
// handler can read them: one for each CleanupFile.
constexpr int kCleanupFiles = 2;
char g_cleanup_paths[kCleanupFiles][4096];
std::atomic<int> g_cleanup_armed[kCleanupFiles];

void RemoveCleanupFiles() {
  for (int i = 0; i < kCleanupFiles; ++i)
    if (g_cleanup_armed[i].load() != 0) unlink(g_cleanup_paths[i]);
}

// What a second Ctrl-C says, kept where the handler can write it.
char g_farewell[4096];
std::atomic<int> g_farewell_length{0};

// The runs StartCopy started that have not ended: their process ids, 0 for
// a free place. Read by the handlers.
std::atomic<pid_t> g_copies[kMaxCopies];
static_assert(std::atomic<pid_t>::is_always_lock_free, "used from a signal handler");

// A signal the terminal sent (Ctrl-C, Ctrl-\, a hang-up) reached the whole
// foreground process group, the runs of its own included; one another
// program sent reached this process alone, and is passed on.
void PassOn(int signal_number, const siginfo_t* info) {
  if (info == nullptr || info->si_code > 0) return;  // SI_KERNEL: the terminal's, or the system's own
  for (std::atomic<pid_t>& copy : g_copies) {
    const pid_t pid = copy.load();
    if (pid > 0) kill(pid, signal_number);
  }
}

// Ends the program the way `signal_number` does by default, once the handler
// returns (the signal is blocked until then). All async-signal-safe.
void EndBySignal(int signal_number, siginfo_t* info, void*) {
  PassOn(signal_number, info);
  RemoveCleanupFiles();
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  raise(signal_number);
}

void OnInterrupt(int signal_number, siginfo_t* info, void*) {
  if (g_interrupted.fetch_add(1) == 0) {  // the first asks for a stop
    PassOn(signal_number, info);
    return;
  }
  const int length = g_farewell_length.load();
  if (length > 0 && write(STDERR_FILENO, g_farewell, static_cast<size_t>(length)) < 0) {
    // Nothing more to say where standard error is gone.
  }
  EndBySignal(signal_number, info, nullptr);
}

// Installs `handler` for `signal_number` where the signal still does what it
// does by default: one the program was started with ignored stays ignored,
// and one a part of the program handles (the video decoder's wake-up) stays
// its own. No SA_RESTART: a read blocked on a quiet pipe returns EINTR, so
// the stop is seen at once.
void Handle(int signal_number, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction previous;
  if (sigaction(signal_number, nullptr, &previous) != 0) return;
  if ((previous.sa_flags & SA_SIGINFO) != 0 || previous.sa_handler != SIG_DFL) return;
  struct sigaction action = {};
  action.sa_sigaction = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;
  sigaction(signal_number, &action, nullptr);
}

// The signals whose default action ends the program, other than SIGINT
// (Ctrl-C), SIGPIPE and SIGXFSZ (the program takes both as failed writes)
// and SIGKILL (which cannot be caught); the real-time signals as well.
constexpr int kEndingSignals[] = {
    SIGHUP,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM,
    SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// Whether `path` is a link in a process's table of open descriptors
// (/proc/PID/fd), or leads to one through other links (/dev/stdout,
// /dev/fd/N). Such a name opens the descriptor's file, whatever it is: the
// regular file a shell redirected standard output to, say.
bool NamesDescriptor(std::string path) {
  for (int link = 0; link < kMaxLinks; ++link) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
    const std::string folder = FolderOf(path);
    char* real = realpath(folder.c_str(), nullptr);
    if (real == nullptr) return false;
    const std::string real_folder = real;
    std::free(real);
    struct statfs system;
    if (statfs(real_folder.c_str(), &system) == 0 && system.f_type == PROC_SUPER_MAGIC &&
        real_folder.size() >= 3 && real_folder.compare(real_folder.size() - 3, 3, "/fd") == 0)
      return true;
    if (!FollowLink(&path)) return false;
  }
  return false;
}

}  // namespace

Module::~Module() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool Module::Load(const std::string& path, std::string* error) {
  if (handle_ != nullptr) {
    *error = "a module is loaded already";
    return false;
  }
  // A bare name would be looked for on the library path.
  const std::string where = HasSeparator(path) ? path : "./" + path;
  handle_ = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "dlopen failed";
    return false;
  }
  return true;
}

void* Module::Find(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return dlsym(handle_, name);
}

const char* ModuleFileName() { return "lodra_output.so"; }

std::string ExecutableDirectory(const char* argv0) {
  std::string program;
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length > 0 && static_cast<size_t>(length) < sizeof buffer) program.assign(buffer, static_cast<size_t>(length));
  if (program.empty() && argv0 != nullptr) program = argv0;
  const size_t last = program.rfind('/');
  if (last == std::string::npos) return std::string();
  return program.substr(0, last + 1 == 1 ? 1 : last);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + '/' + name;
}

bool FileSize(const std::string& path, uint64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
  return arguments;
}

void WriteText(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

bool FromCodePage932(const std::string& text, std::string* utf8) {
  const iconv_t convert = iconv_open("UTF-8", "CP932");
  if (convert == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out(4 * text.size() + 4, '\0');
  char* in_at = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* out_at = &out[0];
  size_t out_left = out.size();
  const size_t done = iconv(convert, &in_at, &in_left, &out_at, &out_left);
  iconv_close(convert);
  if (done == static_cast<size_t>(-1) || in_left != 0) return false;
  out.resize(out.size() - out_left);
  *utf8 = out;
  return true;
}

int TerminalColumns(std::FILE* stream) {
  struct winsize size = {};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

bool ExaminePath(const std::string& path, PathKind* kind, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      *error = ErrnoText(errno);
      return false;
    }
    *kind = PathKind::kMissing;
    return true;
  }
  if (S_ISDIR(info.st_mode)) {
    *kind = PathKind::kFolder;
  } else if (NamesDescriptor(path)) {
    *kind = PathKind::kDescriptor;
  } else {
    *kind = S_ISREG(info.st_mode) ? PathKind::kRegular : PathKind::kDevice;
  }
  return true;
}

bool IdentifyFile(const std::string& path, FileIdentity* identity) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  identity->volume = static_cast<uint64_t>(info.st_dev);
  identity->index = static_cast<uint64_t>(info.st_ino);
  return true;
}

bool CanWriteFile(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText(errno);
    return false;
  }
  close(fd);
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t last = path.rfind('/');
  if (last == std::string::npos) return ".";
  return last == 0 ? "/" : path.substr(0, last);
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool MakeFolder(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  const int code = errno;
  struct stat info;
  if (code == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
  *error = ErrnoText(code);
  return false;
}

std::string ResolveLinks(const std::string& path) {
  std::string name = path;
  for (int link = 0; link < kMaxLinks; ++link) {
    struct stat info;
    if (lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode) || !FollowLink(&name)) return name;
  }
  return name;
}

std::string TemporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

NewFile CreateNewFile(const std::string& path, const std::string& like, std::string* error) {
  // 0666 less the umask, as any new file gets; or the replaced file's.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int code = errno;
    *error = ErrnoText(code);
    return code == EEXIST ? NewFile::kExists : NewFile::kFailed;
  }
  struct stat info;
  if (!like.empty() && stat(like.c_str(), &info) == 0) {
    fchmod(fd, info.st_mode & 07777);
    // Only root may give a file away; the others keep it as their own.
    if (info.st_uid != geteuid() && fchown(fd, info.st_uid, info.st_gid) != 0) fchmod(fd, info.st_mode & 0777);
  }
  close(fd);
  return NewFile::kCreated;
}

bool PutInPlace(const std::string& from, const std::string& to, std::string* error) {
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
  return true;
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

bool PluginFileName(const std::string& path, std::string* name, std::string*) {
  *name = path;
  return true;
}

std::string WriteFailure(const std::string& path) {
  static const char zeros[kWriteProbeBytes] = {};
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return ErrnoText(errno);
  const bool regular = S_ISREG(info.st_mode);
  if (!regular && !S_ISCHR(info.st_mode)) return std::string();
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | (regular ? O_APPEND : 0));
  if (fd < 0) return ErrnoText(errno);
  const size_t want = regular ? kWriteProbeBytes : 1;
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
}

bool RegularFileRemaining(std::FILE* file, uint64_t* remaining) {
  const int fd = fileno(file);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int64_t position = lseek(fd, 0, SEEK_CUR);
  const int64_t size = static_cast<int64_t>(info.st_size);
  if (position < 0 || position > size) return false;
  *remaining = static_cast<uint64_t>(size - position);
  return true;
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void SetBinaryMode(std::FILE*) {}  // no text mode here

bool StartCopy(const std::vector<std::string>& args, unsigned long* copy, std::string* error) {
  // This program's file, as it runs: never another one found on the PATH.
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof self) {
    *error = "cannot find this program's file: " + ErrnoText(length < 0 ? errno : ENAMETOOLONG);
    return false;
  }
  self[length] = '\0';
  std::vector<std::string> all = {self};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  std::atomic<pid_t>* place = nullptr;
  for (std::atomic<pid_t>& candidate : g_copies) {
    if (candidate.load() == 0) {
      place = &candidate;
      break;
    }
  }
  if (place == nullptr) {
    *error = "more than " + std::to_string(kMaxCopies) + " runs at once";
    return false;
  }
  // Signals wait until the run is in the list, so that one passed on
  // reaches it; the run starts with the mask and the signals this program
  // was given (the two it ignores for itself back at their defaults).
  sigset_t all_signals, before;
  sigfillset(&all_signals);
  pthread_sigmask(SIG_BLOCK, &all_signals, &before);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &before);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int code = posix_spawn(&pid, self, nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (code == 0) place->store(pid);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (code != 0) {
    *error = ErrnoText(code);
    return false;
  }
  *copy = static_cast<unsigned long>(pid);
  return true;
}

bool WaitForCopy(unsigned long* copy, int* status) {
  for (;;) {
    bool running = false;
    for (const std::atomic<pid_t>& candidate : g_copies) running |= candidate.load() != 0;
    if (!running) return false;
    int how = 0;
    const pid_t pid = waitpid(-1, &how, 0);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) return false;
    for (std::atomic<pid_t>& candidate : g_copies) {
      if (candidate.load() != pid) continue;
      candidate.store(0);
      *copy = static_cast<unsigned long>(pid);
      *status = WIFEXITED(how) ? WEXITSTATUS(how) : 128 + WTERMSIG(how);
      return true;
    }
  }
}

void InstallSignalHandlers() {
  // A reader that goes away (lodra-gif -o - | head) makes the write fail
  // with EPIPE, and a file past the size limit with EFBIG: each is reported
  // like any failed write and removes the temporary file, rather than ending
  // the program where it stands.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  Handle(SIGINT, OnInterrupt);
  for (const int signal_number : kEndingSignals) Handle(signal_number, EndBySignal);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) Handle(signal_number, EndBySignal);
}

bool InterruptRequested() { return g_interrupted.load() != 0; }

bool AbandonRequested() { return g_interrupted.load() >= 2; }

void SetInterruptFarewell(const std::string& line) {
  g_farewell_length.store(0);
  // On a terminal the "^C" echoed ends the line the cursor is on.
  const std::string text = (isatty(STDERR_FILENO) ? "\n" : "") + line;
  if (text.size() > sizeof g_farewell) return;
  std::memcpy(g_farewell, text.data(), text.size());
  g_farewell_length.store(static_cast<int>(text.size()));
}

void SetSignalCleanup(CleanupFile which, const std::string& path) {
  const int i = static_cast<int>(which);
  g_cleanup_armed[i].store(0);
  // The farewell speaks of the GIF removed, or not written: once the GIF has
  // taken its place, it may be neither.
  if (which == CleanupFile::kGif && path.empty()) g_farewell_length.store(0);
  if (path.empty() || path.size() >= sizeof g_cleanup_paths[i]) return;
  std::memcpy(g_cleanup_paths[i], path.c_str(), path.size() + 1);
  g_cleanup_armed[i].store(1);
}

}  // namespace lodra_gif
