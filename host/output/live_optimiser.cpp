#include "host/output/live_optimiser.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "host/system.h"

namespace lodra_gif {
namespace {

// What is read of the plug-in's file at a time.
constexpr size_t kReadSize = 256 * 1024;

}  // namespace

bool LiveOptimiser::Open(const std::string& plugin_file, const std::string& output, std::string* error) {
  Close();
  try {
    buffer_.resize(kReadSize);
    plugin_file_ = plugin_file;
  } catch (const std::bad_alloc&) {
    *error = "not enough memory to optimise the GIF";
    return false;
  }
  output_ = OpenFile(output, "wb");
  if (output_ == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  std::setvbuf(output_, nullptr, _IOFBF, 64 * 1024);
  sink_.reset(new (std::nothrow) FileSink(output_));
  optimiser_.reset(sink_ ? new (std::nothrow) GifOptimiser(sink_.get()) : nullptr);
  if (!optimiser_) {
    Close();
    *error = "not enough memory to optimise the GIF";
    return false;
  }
  failed_ = write_failed_ = false;
  reason_.clear();
  return true;
}

bool LiveOptimiser::Fail(const std::string& reason, bool write_failed) {
  failed_ = true;
  write_failed_ = write_failed;
  try {
    reason_ = reason;
  } catch (const std::bad_alloc&) {
    reason_.clear();
  }
  return false;
}

bool LiveOptimiser::ReadAvailable() {
  // The plug-in made its file when the export began: it is there by the
  // first frame.
  if (input_ == nullptr && (input_ = OpenFile(plugin_file_, "rb")) == nullptr)
    return Fail("cannot read the plug-in's GIF " + plugin_file_ + ": " + std::strerror(errno), false);
  // A stream that has met the end of a file that grows reads on only after
  // a seek, which clears the end where it is kept: in the stream, and on
  // Windows in the descriptor too (clearerr reaches only the first).
  if (std::fseek(input_, 0, SEEK_CUR) != 0)
    return Fail("cannot read the plug-in's GIF " + plugin_file_ + ": " + std::strerror(errno), false);
  for (;;) {
    const size_t read = std::fread(buffer_.data(), 1, buffer_.size(), input_);
    if (read > 0 && !optimiser_->Feed(buffer_.data(), read)) {
      const bool write_failed = optimiser_->error() == OptimiseError::kWriteFailed;
      return Fail(write_failed ? std::string() : "cannot optimise the GIF: " + optimiser_->Describe(), write_failed);
    }
    if (read == buffer_.size()) continue;
    if (std::ferror(input_))
      return Fail("cannot read the plug-in's GIF " + plugin_file_ + ": " + std::strerror(errno), false);
    return true;  // its end for now: the plug-in may write more
  }
}

bool LiveOptimiser::Take() noexcept {
  if (failed_ || optimiser_ == nullptr) return false;
  try {
    return ReadAvailable();
  } catch (const std::bad_alloc&) {
    return Fail("", false);
  }
}

bool LiveOptimiser::Finish() noexcept {
  if (!Take()) {
    Close();
    return false;
  }
  if (!optimiser_->Finish()) {
    const bool write_failed = optimiser_->error() == OptimiseError::kWriteFailed;
    try {
      Fail(write_failed ? std::string() : "cannot optimise the GIF: " + optimiser_->Describe(), write_failed);
    } catch (const std::bad_alloc&) {
      Fail("", write_failed);
    }
    Close();
    return false;
  }
  // The last bytes reach the output here, and a C library may drop the
  // error of that write from fclose's result: asked apart.
  const bool flushed = sink_->Flush();
  const bool closed = std::fclose(output_) == 0;
  output_ = nullptr;
  Close();
  if (!flushed || !closed) return Fail("", true);
  return true;
}

void LiveOptimiser::Close() noexcept {
  // The optimiser waits for its tasks before the sink and the file go.
  if (optimiser_) stats_ = optimiser_->stats();
  optimiser_.reset();
  sink_.reset();
  if (output_ != nullptr) std::fclose(output_);
  output_ = nullptr;
  if (input_ != nullptr) std::fclose(input_);
  input_ = nullptr;
}

}  // namespace lodra_gif
