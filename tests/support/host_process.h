// Running lodra-gif as a child process in the end-to-end tests (host_test,
// host_video_test): its standard input from nowhere, a file or a pipe, its
// stdout and stderr collected, Ctrl-C sent. Native only. The test program
// defines LODRA_GIF_PATH, the program RunHost starts.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_fixture.h"
#include "tests/support/host_run.h"
#include "tests/support/temp_path.h"

namespace testing_support {

// ------------------------------------------------------------ child process

// One run of lodra-gif. Its stdout and stderr go to files (so a chatty child
// can never block on a full pipe), or stderr to a pseudo-terminal.
class HostProcess {
 public:
  HostProcess() = default;
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  ~HostProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    CloseStdin();
    if (pty_ >= 0) close(pty_);
  }

  // Starts `program` with `args`; `stdin_file` is read for Stdin::kFile.
  bool Start(const std::string& program, const std::vector<std::string>& args, Stdin in,
             const std::string& stdin_file = "", bool stderr_on_terminal = false) {
    out_path_ = TempPath("stdout.txt");
    err_path_ = TempPath("stderr.txt");
    signal(SIGPIPE, SIG_IGN);  // a child that exits early must not end the test

    int stdin_fd = -1;
    int pipe_fds[2] = {-1, -1};
    if (in == Stdin::kPipe) {
      if (pipe(pipe_fds) != 0) return false;
      stdin_fd = pipe_fds[0];
      stdin_ = pipe_fds[1];
      fcntl(stdin_, F_SETFD, FD_CLOEXEC);
    } else {
      stdin_fd = open(in == Stdin::kFile ? stdin_file.c_str() : "/dev/null", O_RDONLY);
      if (stdin_fd < 0) return false;
    }
    std::string terminal;
    if (stderr_on_terminal) {
      pty_ = posix_openpt(O_RDWR | O_NOCTTY);
      if (pty_ < 0 || grantpt(pty_) != 0 || unlockpt(pty_) != 0) return false;
      fcntl(pty_, F_SETFD, FD_CLOEXEC);
      terminal = ptsname(pty_);
      const winsize size = {24, static_cast<unsigned short>(terminal_columns), 0, 0};
      ioctl(pty_, TIOCSWINSZ, &size);
    }

    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      // The child: whatever the test runner did with these, the host starts
      // with Ctrl-C and broken pipes at their defaults.
      signal(SIGINT, SIG_DFL);
      signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      // A signal that dumps core leaves no core file behind.
      const rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      if (data_limit >= 0) {
        const rlimit limit = {static_cast<rlim_t>(data_limit), static_cast<rlim_t>(data_limit)};
        setrlimit(RLIMIT_DATA, &limit);
      }
      if (file_size_limit >= 0) {
        // The host must take SIGXFSZ as a failed write itself.
        const rlimit limit = {static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      // As a program started from a shell: the terminal its own, so that
      // Ctrl-C typed there (SendToTerminal) reaches it and is echoed.
      if (stderr_on_terminal && controlling_terminal) setsid();
      const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = stderr_on_terminal ? open(terminal.c_str(), O_RDWR | (controlling_terminal ? 0 : O_NOCTTY))
                                         : open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || dup2(stdin_fd, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(stdin_fd);
    return true;
  }

  // Writes all of `bytes` to the child's stdin pipe; false once it is gone.
  bool Write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(stdin_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  void CloseStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  // True once the child has taken every byte written so far out of the pipe.
  bool WaitUntilPipeDrained(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      int unread = -1;
      if (ioctl(stdin_, FIONREAD, &unread) == 0 && unread == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  void Interrupt() { Signal(SIGINT); }
  // Types `keys` at the terminal stderr goes to ("\x03": Ctrl-C).
  bool SendToTerminal(const std::string& keys) {
    return pty_ >= 0 && write(pty_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
  }
  // What has reached the terminal so far.
  const std::string& TerminalText() {
    DrainTerminal();
    return err;
  }
  void Signal(int signal_number) { kill(pid_, signal_number); }
  pid_t pid() const { return pid_; }
  // Waits until the child blocks in the kernel function `where` (as
  // /proc/PID/wchan names it, e.g. "wait_for_partner": opening a FIFO
  // nobody reads); false after `limit`.
  bool WaitUntilBlockedIn(const std::string& where, std::chrono::milliseconds limit) {
    const std::string wchan_path = "/proc/" + std::to_string(pid_) + "/wchan";
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      if (ReadText(wchan_path) == where) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Sends SIGINT and waits until the child has taken it: a second SIGINT
  // sent while the first is still pending would be merged with it.
  bool InterruptAndWaitTaken(std::chrono::milliseconds limit) {
    kill(pid_, SIGINT);
    const std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      const Bytes bytes = ReadFile(status_path);
      const std::string status(bytes.begin(), bytes.end());
      bool pending = false;
      for (const char* field : {"\nSigPnd:", "\nShdPnd:"}) {
        const size_t at = status.find(field);
        if (at != std::string::npos) pending |= (std::strtoull(status.c_str() + at + 8, nullptr, 16) >> (SIGINT - 1)) & 1;
      }
      if (!pending) return true;
    }
    return false;
  }

  // The exit status, or 1000 + the signal that ended the child (not to be
  // confused with a status of 130 the host chose), or -1 when it
  // had to be killed after `limit`. Collects what it wrote. A stdin pipe
  // stays open: close it first to give the child the end of its input.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(120)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t done = 0;
    rusage usage = {};
    while ((done = wait4(pid_, &status, WNOHANG, &usage)) == 0) {
      DrainTerminal();
      if (std::chrono::steady_clock::now() > until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    peak_kib = usage.ru_maxrss;
    DrainTerminal();
    out = ReadText(out_path_);
    if (pty_ < 0) err = ReadText(err_path_);
    if (done < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }

  std::string out, err;
  // The child's peak resident size, in KiB, once Wait has collected it.
  long peak_kib = 0;
  // When not negative, the child may write files of at most this many bytes
  // (RLIMIT_FSIZE): writes past it fail with EFBIG.
  long file_size_limit = -1;
  // When not negative, the child's data (its heap and private mappings, not
  // the libraries' code) may take at most this many bytes (RLIMIT_DATA):
  // allocations past it fail. A sanitizer's shadow memory counts too, so
  // sanitized builds cannot run under it.
  long data_limit = -1;
  // The width of the terminal stderr goes to, when it goes to one.
  int terminal_columns = 80;
  // That terminal is the child's controlling terminal, in a session of
  // its own.
  bool controlling_terminal = false;

 private:
  static std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
  }
  void DrainTerminal() {
    if (pty_ < 0) return;
    fcntl(pty_, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pty_, buffer, sizeof buffer)) > 0) err.append(buffer, static_cast<size_t>(n));
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int pty_ = -1;
  std::string out_path_, err_path_;
};

// Runs lodra-gif to the end with `args`, stdin from nowhere or a file.
struct Outcome {
  int status = -1;
  std::string out, err;
  long peak_kib = 0;  // its peak resident size
};
inline Outcome RunHost(const std::vector<std::string>& args, Stdin in = Stdin::kNull, const std::string& stdin_file = "") {
  HostProcess host;
  Outcome run;
  if (!host.Start(LODRA_GIF_PATH, args, in, stdin_file)) {
    ADD_FAILURE() << "cannot start " << LODRA_GIF_PATH;
    return run;
  }
  run.status = host.Wait();
  run.out = host.out;
  run.err = host.err;
  run.peak_kib = host.peak_kib;
  return run;
}

}  // namespace testing_support
