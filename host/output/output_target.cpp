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

bool OutputTarget::Open(const std::string& target, bool optimise, std::string* error) {
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
        mode_ = Mode::kDirect;
        file_ = target;
        folder_ = TemporaryFolder();  // for the plug-in's file, when there is one
        break;
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
    if (mode_ != Mode::kDirect) {
      // A link stays: the name it leads to is replaced, or made.
      mode_ = Mode::kReplace;
      target_ = ResolveLinks(target);
      folder_ = FolderOf(target_);
    }
  }

  // The temporary files: the one that takes the target's place, then the
  // plug-in's own when the GIF is optimised.
  auto create = [&](const std::string& like, CleanupFile cleanup, std::string* path) {
    if (CreateTemporaryFile(folder_, like, path, &reason)) {
      SetSignalCleanup(cleanup, *path);
      return true;
    }
    path->clear();
    *error = "cannot write " + name_ + ": cannot create a file in " +
             (mode_ == Mode::kReplace ? "its folder " : "the temporary folder ") + folder_ + ": " + reason;
    return false;
  };
  if (mode_ != Mode::kDirect && !create(existed_ ? target_ : std::string(), CleanupFile::kGif, &file_)) {
    mode_ = Mode::kNone;
    return false;
  }
  if (!optimise) {
    plugin_file_ = file_;
  } else if (!create(std::string(), CleanupFile::kPluginGif, &plugin_file_)) {
    Discard();
    return false;
  }
  if (!PluginFileName(plugin_file_, &plugin_name_, &reason)) {
    *error = "cannot write " + (optimised() ? "a file in " + folder_ : name_) + ": " + reason;
    Discard();
    return false;
  }
  return true;
}

bool OutputTarget::Commit(std::string* error) {
  std::string reason;
  // The plug-in's own GIF has served its purpose.
  if (optimised()) {
    RemoveFile(plugin_file_);
    SetSignalCleanup(CleanupFile::kPluginGif, "");
    plugin_file_ = file_;
  }
  switch (mode_) {
    case Mode::kNone:
      *error = "no output";
      return false;
    case Mode::kDirect:
      return true;
    case Mode::kReplace:
      if (!PutInPlace(file_, target_, &reason)) {
        *error = "cannot replace " + name_ + ": " + reason + "; the GIF is in " + file_;
        SetSignalCleanup(CleanupFile::kGif, "");
        file_.clear();  // kept for the user
        plugin_file_.clear();
        return false;
      }
      SetSignalCleanup(CleanupFile::kGif, "");
      file_ = target_;
      plugin_file_ = file_;
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
  // Each removed before it is forgotten: a second Ctrl-C in between finds
  // nothing to remove, rather than leaving the file.
  if (optimised() && !plugin_file_.empty()) {
    RemoveFile(plugin_file_);
    SetSignalCleanup(CleanupFile::kPluginGif, "");
  }
  if ((mode_ == Mode::kReplace || mode_ == Mode::kStandardOutput) && !file_.empty()) {
    RemoveFile(file_);
    SetSignalCleanup(CleanupFile::kGif, "");
  }
  file_.clear();
  plugin_file_.clear();
  mode_ = Mode::kNone;
}

std::string OutputTarget::WriteFailure() const {
  // The GIF for the target, then the plug-in's, which may be elsewhere.
  for (const std::string* path : {&file_, &plugin_file_}) {
    if (path == &plugin_file_ && !optimised()) break;
    const std::string reason = path->empty() ? std::string() : lodra_gif::WriteFailure(*path);
    if (reason.empty()) continue;
    // A file in the temporary folder is not the target itself (standard
    // output is written only once the GIF is whole).
    const bool in_temporary_folder = mode_ == Mode::kStandardOutput || (mode_ == Mode::kDirect && path != &file_);
    if (in_temporary_folder)
      return "cannot write the GIF for " + name_ + " in the temporary folder " + folder_ + ": " + reason;
    return "cannot write " + name_ + ": " + reason;
  }
  return std::string();
}

}  // namespace lodra_gif
