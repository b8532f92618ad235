// The table's export entry: the host's OutputInfo and the stored settings
// turned into one run of the output pass.
#include "gif/output_pass.h"
#include "plugin/module_entries.h"

namespace {

// The host's callbacks as the pass's frame source.
class HostCallbacks final : public FrameSource {
 public:
  explicit HostCallbacks(const OutputInfo& info) : info_(info) {}
  bool IsAborted() override { return info_.is_aborted() != 0; }
  void ReportProgress(int32_t n, int32_t frame_count) override { info_.report_progress(n, frame_count); }
  const void* Pixels(int32_t n) override { return info_.get_frame(n); }
  void Refresh() override { info_.host_refresh(); }

 private:
  const OutputInfo& info_;
};

// The export itself; OutputAnimatedGif only guards it.
int32_t Export(const OutputInfo* info) {
  if (info == nullptr || info->get_frame == nullptr || info->is_aborted == nullptr ||
      info->report_progress == nullptr || info->host_refresh == nullptr)
    return 0;
  AnimationRequest request;
  request.host_width = info->width;
  request.height = info->height;
  request.rate = info->rate;
  request.scale = info->scale;
  request.frame_count = info->frame_count;
  request.path = info->save_file;
  AnimationSettings settings;
  settings.loop_count = g_settings.loop_count;
  settings.use_mask = g_settings.use_mask != 0;
  HostCallbacks callbacks(*info);
  return WriteAnimatedGif(request, settings, callbacks) == ExportResult::kWritten ? 1 : 0;
}

}  // namespace

int32_t LODRA_CDECL OutputAnimatedGif(OutputInfo* info) {
  // Nothing may unwind into the host: whatever is thrown inside (by the
  // run-time, say a lock it cannot have, or by a host's callback written in
  // C++) ends the export as a failure, the file closed with what it has.
  try {
    return Export(info);
  } catch (...) {
    return 0;
  }
}
