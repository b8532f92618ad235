// The GIF optimiser (gif_optimiser.h) beside the export: it reads the GIF
// the plug-in writes as its file grows, after each frame the plug-in reports
// (its stdio buffer may hold the last few KiB until it closes the file), and
// writes the optimised GIF to the file that goes to the target, frame by
// frame. What it has read it frees, so that it never holds the plug-in's
// whole GIF.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/output/gif_optimiser.h"

namespace lodra_gif {

class LiveOptimiser {
 public:
  LiveOptimiser() = default;
  ~LiveOptimiser() { Close(); }
  LiveOptimiser(const LiveOptimiser&) = delete;
  LiveOptimiser& operator=(const LiveOptimiser&) = delete;

  // Opens `output` for writing (a device or FIFO where it is, which may wait
  // for a reader until Ctrl-C) and will read `plugin_file` once the plug-in
  // writes it. False with the system's reason.
  bool Open(const std::string& plugin_file, const std::string& output, std::string* error);

  // Takes in what the plug-in has added to its file since the last call.
  // May wait while enough frames are in work. False once the optimisation
  // has failed: it stops there for good, and the export had best stop too.
  bool Take() noexcept;
  // Once the plug-in has closed its file: takes in the rest, writes the
  // GIF's end, and closes the output. False when anything failed, now or
  // before.
  bool Finish() noexcept;
  // Closes the files without finishing the GIF.
  void Close() noexcept;

  bool failed() const { return failed_; }
  // Why it failed: the optimiser's reason or the file the plug-in wrote
  // that could not be read; empty when the output could not be written
  // (write_failed: the system says why, see OutputTarget::WriteFailure) or
  // memory ran out.
  const std::string& reason() const { return reason_; }
  bool write_failed() const { return write_failed_; }
  // What it has read and written so far.
  OptimiserStats stats() const { return optimiser_ ? optimiser_->stats() : stats_; }

 private:
  bool Fail(const std::string& reason, bool write_failed);
  // Reads the plug-in's file to its current end into the optimiser.
  bool ReadAvailable();

  std::string plugin_file_;
  std::FILE* input_ = nullptr;
  std::FILE* output_ = nullptr;
  std::unique_ptr<FileSink> sink_;
  std::unique_ptr<GifOptimiser> optimiser_;
  std::vector<uint8_t> buffer_;
  OptimiserStats stats_;  // once the optimiser is gone
  bool failed_ = false;
  bool write_failed_ = false;
  std::string reason_;
};

}  // namespace lodra_gif
