// Frames made ahead on one thread and taken in order on another: a fixed
// ring of buffers, so that memory stays bounded whatever the input's length.
// The producer waits while every buffer is full, the consumer while all are
// empty; either side can end the exchange, and the other's wait ends with it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace lodra_gif {

class FrameQueue {
 public:
  // `slots` buffers of `bytes` each, allocated here (std::bad_alloc) and not
  // cleared: each is written whole before it is published.
  FrameQueue(size_t slots, size_t bytes);
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;

  // --- the producer
  // A free buffer to fill, or null once the consumer has closed the queue.
  uint8_t* WaitForFree() noexcept;
  // The buffer from WaitForFree holds the next frame.
  void Publish() noexcept;
  // No frame follows the ones published.
  void Finish() noexcept;

  // --- the consumer
  enum class Wait { kFrame, kEnd, kStopped };
  // The next frame into `frame`, valid until Release; kEnd once the producer
  // has finished and every frame was taken. While it waits, `stop` (when not
  // null) is asked every few tens of milliseconds, and true gives kStopped:
  // a signal handler can set what it reads, but cannot wake a wait.
  Wait WaitForFrame(uint8_t** frame, bool (*stop)()) noexcept;
  void Release() noexcept;
  // The consumer takes no more: the producer's WaitForFree returns null.
  void Close() noexcept;

 private:
  struct FreeSlot {
    void operator()(uint8_t* slot) const noexcept;
  };
  std::vector<std::unique_ptr<uint8_t[], FreeSlot>> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t head_ = 0;    // the oldest published buffer
  size_t filled_ = 0;  // published and not yet released
  bool finished_ = false;
  bool closed_ = false;
};

}  // namespace lodra_gif
