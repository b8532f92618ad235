// Where the export's GIF goes. A failed job never destroys a file: the
// plug-in writes a new temporary file beside the target, which takes the
// target's place in one step (Commit) once it holds a whole GIF with a
// frame; otherwise it is removed (Discard) and an existing target is left as
// it was. What the target is decides, never how it is spelt: a regular file
// or a name that is not there yet is replaced so (a link is followed, even
// to a name not there yet, and stays a link); a device, FIFO or socket
// (/dev/null, NUL), or a name for a descriptor the program has open
// (/dev/stdout, /dev/fd/N), is written directly, for nothing may take its
// place. Standard output ("-") gets the finished GIF copied from a temporary
// file in the system's temporary folder.
//
// When lodra-gif optimises the GIF, the plug-in writes a temporary file of
// its own whatever the target (beside the target's temporary file, or for a
// device in the temporary folder), and the optimiser writes the GIF that
// goes to the target; the plug-in's file goes when the target is settled.
#pragma once

#include <string>

namespace lodra_gif {

// Whether writing `output` would destroy `input`, so that the export must be
// refused: both are one file on the disk, however each is spelt ("-",
// standard input or output, is no file here).
bool SameFile(const std::string& input, const std::string& output);

class OutputTarget {
 public:
  OutputTarget() = default;
  ~OutputTarget() { Discard(); }
  OutputTarget(const OutputTarget&) = delete;
  OutputTarget& operator=(const OutputTarget&) = delete;

  // Checks `target` ("-": standard output) and makes the files the GIF is
  // written to: the plug-in's and, with `optimise`, the optimiser's. False
  // with a one-line message that names the path and the system's reason.
  bool Open(const std::string& target, bool optimise, std::string* error);

  // The target as the user named it, or "standard output".
  const std::string& name() const { return name_; }
  // Where the GIF that goes to the target is written: the temporary file,
  // or the device itself.
  const std::string& file() const { return file_; }
  // The file the plug-in writes (file(), unless the GIF is optimised), and
  // its name as the plug-in is given it.
  const std::string& plugin_file() const { return plugin_file_; }
  const std::string& plugin_name() const { return plugin_name_; }
  bool optimised() const { return plugin_file_ != file_; }
  // An existing file the export replaces.
  bool existed() const { return existed_; }
  bool direct() const { return mode_ == Mode::kDirect; }

  // Puts the GIF in place. False with a message; a GIF that cannot take the
  // target's place is kept where it is, and the message says where.
  bool Commit(std::string* error);
  // Removes the temporary files; the target stays as it was.
  void Discard();
  // After a failed export: "" when the files the GIF was written to can
  // still be written (it failed for another reason); else the message,
  // "cannot write TARGET: " and the system's reason, for a file in the
  // temporary folder with that folder.
  std::string WriteFailure() const;

 private:
  enum class Mode { kNone, kReplace, kDirect, kStandardOutput };
  Mode mode_ = Mode::kNone;
  std::string name_;    // for messages
  std::string target_;  // the file replaced (links followed)
  std::string folder_;  // where the temporary file is
  std::string file_;    // what becomes the target
  std::string plugin_file_;  // what the plug-in writes: file_, or a temporary file of its own
  std::string plugin_name_;
  bool existed_ = false;
};

}  // namespace lodra_gif
