// The animation file as the output pass writes it, for those who have frame
// GIFs already: the benchmarks time this stage alone. Nothing of the product
// includes this but gif/output_pass.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "gif/export_result.h"
#include "quantize/palette.h"

// A failed write sticks: nothing after it is written.
class AnimationFile {
 public:
  // Creates or truncates `path`; false when it cannot.
  bool Open(const char* path);
  // Appends one frame GIF of the imaging library with `delay` hundredths;
  // the first one also writes the head and the looping extension with
  // `loop_field` (LoopCountField, gif/export_limits.h). kImagingLibrary for
  // a block that cannot be spliced, kWriteFailed when the file refused bytes.
  ExportResult AppendFrame(const uint8_t* block, uint32_t length, const Palette& palette, uint16_t delay,
                           uint16_t loop_field);
  // Writes the closing comment and trailer and closes the file; false when
  // any byte did not reach it.
  bool Finish();

  AnimationFile() = default;
  // Closes an unfinished file as it is, without the closing blocks.
  ~AnimationFile();
  AnimationFile(const AnimationFile&) = delete;
  AnimationFile& operator=(const AnimationFile&) = delete;

 private:
  void Write(const void* data, size_t size);

  std::FILE* file_ = nullptr;
  bool failed_ = false;
  bool has_frames_ = false;
};
