#include "host/frame_queue.h"

#include <chrono>

namespace lodra_gif {

FrameQueue::FrameQueue(size_t slots, size_t bytes) : slots_(slots, std::vector<uint8_t>(bytes, 0)) {}

uint8_t* FrameQueue::WaitForFree() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return closed_ || filled_ < slots_.size(); });
  if (closed_) return nullptr;
  return slots_[(head_ + filled_) % slots_.size()].data();
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
      *frame = slots_[head_].data();
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
