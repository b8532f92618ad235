#include "host/output/output_target.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/system.h"

namespace lodra_gif {
namespace {

// A new empty file in `folder` with a name of its own: the process id and a
// count, in ASCII so that the system code page can spell it.
bool CreateTemporaryFile(const std::string& folder, const std::string& like, std::string* path,
                         std::string* error) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate =
        JoinPath(folder, ".lodra-gif-" + std::to_string(ProcessId()) + "-" + std::to_string(attempt) + ".tmp");
    switch (CreateNewFile(candidate, like, error)) {
      case NewFile::kCreated:
        *path = candidate;
        return true;
      case NewFile::kExists:
        continue;
      case NewFile::kFailed:
        return false;
    }
  }
  return false;  // `error` says that the last name was taken
}

}  // namespace

bool SameFile(const std::string& input, const std::string& output) {
  if (input == "-" || output == "-") return false;
  FileIdentity read, written;
  return IdentifyFile(input, &read) && IdentifyFile(output, &written) && read == written;
}

bool OutputTarget::Open(const std::string& target, std::string* error) {
  Discard();
  existed_ = false;
  std::string reason;
  if (target == "-") {
    name_ = "standard output";
    if (IsTerminal(stdout)) {
      *error = "standard output is a terminal: redirect it to a file or a pipe, or give -o FILE";
      return false;
    }
    mode_ = Mode::kStandardOutput;
    folder_ = TemporaryFolder();
  } else {
    name_ = target;
    const std::string cannot = "cannot write " + target + ": ";
    PathKind kind = PathKind::kMissing;
    if (!ExaminePath(target, &kind, &reason)) {
      *error = cannot + reason;
      return false;
    }
    switch (kind) {
      case PathKind::kFolder:
        *error = cannot + std::strerror(EISDIR);
        return false;
      case PathKind::kDevice:
      case PathKind::kDescriptor:
        // Nothing may take a device's place, nor a descriptor's (a shell's
        // -o /dev/stdout > file): written where it is.
        if (!PluginFileName(target, &plugin_name_, &reason)) {
          *error = cannot + reason;
          return false;
        }
        mode_ = Mode::kDirect;
        file_ = target;
        return true;
      case PathKind::kRegular:
        // A file that may not be written is not replaced either.
        if (!CanWriteFile(target, &reason)) {
          *error = cannot + reason;
          return false;
        }
        existed_ = true;
        break;
      case PathKind::kMissing:
        break;
    }
    // A link stays: the name it leads to is replaced, or made.
    mode_ = Mode::kReplace;
    target_ = ResolveLinks(target);
    folder_ = FolderOf(target_);
  }

  if (!CreateTemporaryFile(folder_, existed_ ? target_ : std::string(), &file_, &reason)) {
    file_.clear();
    *error = "cannot write " + name_ + ": cannot create a file in " +
             (mode_ == Mode::kStandardOutput ? "the temporary folder " : "its folder ") + folder_ + ": " + reason;
    mode_ = Mode::kNone;
    return false;
  }
  SetSignalCleanup(file_);
  if (!PluginFileName(file_, &plugin_name_, &reason)) {
    *error = "cannot write " + name_ + ": " + reason;
    Discard();
    return false;
  }
  return true;
}

bool OutputTarget::Commit(std::string* error) {
  std::string reason;
  switch (mode_) {
    case Mode::kNone:
      *error = "no output";
      return false;
    case Mode::kDirect:
      return true;
    case Mode::kReplace:
      if (!PutInPlace(file_, target_, &reason)) {
        *error = "cannot replace " + name_ + ": " + reason + "; the GIF is in " + file_;
        SetSignalCleanup("");
        file_.clear();  // kept for the user
        return false;
      }
      SetSignalCleanup("");
      file_ = target_;
      mode_ = Mode::kNone;
      return true;
    case Mode::kStandardOutput:
      break;
  }
  std::FILE* in = OpenFile(file_, "rb");
  if (in == nullptr) {
    *error = "cannot read " + file_ + ": " + std::strerror(errno);
    return false;
  }
  SetBinaryMode(stdout);
  char buffer[64 * 1024];
  size_t n = 0;
  bool wrote = true;
  while (wrote && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0) wrote = std::fwrite(buffer, 1, n, stdout) == n;
  const bool read = !std::ferror(in);
  std::fclose(in);
  wrote = wrote && std::fflush(stdout) == 0;
  if (!wrote) {
    *error = "cannot write standard output: " + std::string(std::strerror(errno));
    return false;
  }
  if (!read) {
    *error = "cannot read " + file_ + ": " + std::strerror(errno);
    return false;
  }
  Discard();
  return true;
}

void OutputTarget::Discard() {
  if ((mode_ == Mode::kReplace || mode_ == Mode::kStandardOutput) && !file_.empty()) {
    // Removed before it is forgotten: a second Ctrl-C in between finds
    // nothing to remove, rather than leaving the file.
    RemoveFile(file_);
    SetSignalCleanup("");
  }
  file_.clear();
  mode_ = Mode::kNone;
}

std::string OutputTarget::WriteFailure() const {
  const std::string reason = file_.empty() ? std::string() : lodra_gif::WriteFailure(file_);
  if (reason.empty()) return reason;
  // Standard output itself is written only once the GIF is whole.
  if (mode_ == Mode::kStandardOutput)
    return "cannot write the GIF for " + name_ + " in the temporary folder " + folder_ + ": " + reason;
  return "cannot write " + name_ + ": " + reason;
}

}  // namespace lodra_gif
