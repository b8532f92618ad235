#include "gif/export_result.h"

const char* ExportResultName(ExportResult result) {
  switch (result) {
    case ExportResult::kWritten: return "written";
    case ExportResult::kRefused: return "refused";
    case ExportResult::kAllocation: return "allocation";
    case ExportResult::kOpenFailed: return "open failed";
    case ExportResult::kNoPixels: return "no pixels";
    case ExportResult::kSizeRefused: return "size refused";
    case ExportResult::kImagingLibrary: return "imaging library";
    case ExportResult::kWriteFailed: return "write failed";
  }
  return "unknown";
}
