// The stand-in's bookkeeping: live objects per kind, acquisitions counted for
// fault injection, and the switches tests turn. One thread, no locks.
//
// Only the test build of the stand-in (LODRA_STANDIN_HOOKS=1) has any of it;
// the module that ships keeps the plain calls: nothing counted, nothing
// failed on purpose, the default GIF layout.
#include <cstdio>
#include <cstdlib>

#include "platform/standin/internal.h"

#if LODRA_STANDIN_HOOKS
namespace standin {
namespace {

constexpr int kKinds = static_cast<int>(Resource::kCount);

struct State {
  int live[kKinds] = {};
  int acquisitions = 0;
  int fail_at = 0;
  Resource failed = Resource::kCount;
  GifLayout layout = GifLayout::kGlobalTableWithControlExtension;
  bool gif_listed = true;
};

// Constant-initialised: nothing runs before main.
State g_state;

int Index(Resource kind) {
  int i = static_cast<int>(kind);
  return (i >= 0 && i < kKinds) ? i : -1;
}

}  // namespace

const char* ResourceName(Resource kind) {
  switch (kind) {
    case Resource::kStartup:
      return "imaging start-up";
    case Resource::kImagingAlloc:
      return "imaging allocation";
    case Resource::kBitmap:
      return "bitmap";
    case Resource::kGlobalBlock:
      return "global block";
    case Resource::kStream:
      return "stream";
    case Resource::kCount:
      break;
  }
  return "unknown";
}

int LiveCount(Resource kind) {
  int i = Index(kind);
  return i < 0 ? 0 : g_state.live[i];
}

int LiveTotal() {
  int total = 0;
  for (int n : g_state.live) total += n;
  return total;
}

int AcquisitionCount() { return g_state.acquisitions; }

void FailAcquisition(int k) { g_state.fail_at = k < 0 ? 0 : k; }

Resource FailedAcquisition() { return g_state.failed; }

void SetGifLayout(GifLayout layout) { g_state.layout = layout; }

void SetGifEncoderListed(bool listed) { g_state.gif_listed = listed; }

void Reset() {
  g_state.acquisitions = 0;
  g_state.fail_at = 0;
  g_state.failed = Resource::kCount;
  g_state.layout = GifLayout::kGlobalTableWithControlExtension;
  g_state.gif_listed = true;
}

namespace internal {

bool BeginAcquisition(Resource kind) {
  ++g_state.acquisitions;
  if (g_state.acquisitions != g_state.fail_at) return true;
  g_state.failed = kind;
  return false;
}

void NoteAcquired(Resource kind) {
  int i = Index(kind);
  if (i >= 0) ++g_state.live[i];
}

void NoteReleased(Resource kind) {
  int i = Index(kind);
  if (i >= 0) --g_state.live[i];
}

GifLayout CurrentGifLayout() { return g_state.layout; }

bool IsGifEncoderListed() { return g_state.gif_listed; }

void Misuse(const char* what) {
  std::fprintf(stderr, "standin: %s\n", what);
  std::abort();
}

}  // namespace internal
}  // namespace standin

#else  // the shipped stand-in

namespace standin::internal {

bool BeginAcquisition(Resource) { return true; }
void NoteAcquired(Resource) {}
void NoteReleased(Resource) {}
GifLayout CurrentGifLayout() { return GifLayout::kGlobalTableWithControlExtension; }
bool IsGifEncoderListed() { return true; }

void Misuse(const char* what) {
  std::fprintf(stderr, "standin: %s\n", what);
  std::abort();
}

}  // namespace standin::internal

#endif
