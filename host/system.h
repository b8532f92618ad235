// Everything lodra-gif does differently on Windows and elsewhere: loading the
// plug-in module, Ctrl-C, the terminal, file sizes and paths. The only file
// of the host with an #ifdef is system.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace lodra_gif {

// The plug-in module the program loads the way the video editor does:
// lodra_output.auo through LoadLibraryA on Windows, lodra_output.so through
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
bool IsReadableFile(const std::string& path);
// False when the file's size cannot be read.
bool FileSize(const std::string& path, uint64_t* size);
// Removes `path` only if it is a regular file: an output such as /dev/null
// must never be deleted.
void RemoveRegularFile(const std::string& path);

// True for a regular file, with the bytes from the current position to its
// end in `remaining`; false for pipes, terminals and the like.
bool RegularFileRemaining(std::FILE* file, uint64_t* remaining);
bool IsTerminal(std::FILE* stream);
// Raw frames are binary: Windows must not translate line ends on stdin.
void SetBinaryMode(std::FILE* stream);

// Ctrl-C (SIGINT; the console's Ctrl-C and Ctrl-Break on Windows) sets a flag
// instead of ending the program. A blocking read is interrupted (EINTR) where
// the system does that. A second Ctrl-C ends the program the usual way. When
// the program was started with Ctrl-C ignored, it stays ignored.
void InstallInterruptHandler();
bool InterruptRequested();

}  // namespace lodra_gif
