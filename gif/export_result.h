// How an export, or one step of it, ended: the engine's one result type.
// Every failure names its reason here, from the frame encoder up to the
// output pass; only the plug-in's export entry turns it into the 1 or 0 the
// host gets.
#pragma once

enum class ExportResult {
  kWritten,         // the file is complete (also after a stop)
  kRefused,         // a rate or scale of 0 or less, or no path: nothing was opened
  kAllocation,      // memory (the heap, global memory, the imaging library's or a stream's) ran out
  kOpenFailed,      // the file could not be created
  kNoPixels,        // the host gave no pixels for a frame
  kSizeRefused,     // a frame size beyond CheckHostFrameSize's limits (gif/export_limits.h)
  kImagingLibrary,  // the imaging library failed (start-up, bitmap, no GIF encoder, saving), or
                    // wrote a GIF that cannot be spliced
  kWriteFailed,     // a write or the close of the file failed
};

// The reason in a few words ("no pixels"), for messages.
const char* ExportResultName(ExportResult result);
