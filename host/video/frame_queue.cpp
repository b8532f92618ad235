#include "host/video/frame_queue.h"

#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <new>

namespace lodra_gif {

namespace {
// A 1080p frame is 1500 small pages; touching each one costs a fault, which
// on some virtual machines takes longer than converting the frame. Where
// the system offers huge pages on request, a slot asks for them.
constexpr size_t kHugePage = size_t{2} << 20;
}  // namespace

FrameQueue::FrameQueue(size_t slots, size_t bytes) {
  // A frame smaller than a huge page would only grow to fill one.
  const bool huge = bytes >= kHugePage;
  const size_t rounded = huge ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
  slots_.reserve(slots);
  for (size_t i = 0; i < slots; ++i) {
    void* slot = nullptr;
    if (rounded < bytes || posix_memalign(&slot, huge ? kHugePage : 64, rounded) != 0) throw std::bad_alloc();
    slots_.emplace_back(static_cast<uint8_t*>(slot));
#ifdef MADV_HUGEPAGE
    if (huge) madvise(slot, rounded, MADV_HUGEPAGE);  // advice only: small pages work too
#endif
  }
}

void FrameQueue::FreeSlot::operator()(uint8_t* slot) const noexcept { free(slot); }

uint8_t* FrameQueue::WaitForFree() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return closed_ || filled_ < slots_.size(); });
  if (closed_) return nullptr;
  return slots_[(head_ + filled_) % slots_.size()].get();
}

void FrameQueue::Publish() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++filled_;
  }
  changed_.notify_all();
}

void FrameQueue::Finish() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

FrameQueue::Wait FrameQueue::WaitForFrame(uint8_t** frame, bool (*stop)()) noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (filled_ > 0) {
      *frame = slots_[head_].get();
      return Wait::kFrame;
    }
    if (finished_ || closed_) return Wait::kEnd;
    if (stop != nullptr && stop()) return Wait::kStopped;
    changed_.wait_for(lock, std::chrono::milliseconds(20));
  }
}

void FrameQueue::Release() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (filled_ == 0) return;
    head_ = (head_ + 1) % slots_.size();
    --filled_;
  }
  changed_.notify_all();
}

void FrameQueue::Close() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

}  // namespace lodra_gif
