// Memory streams over global blocks. The stream's length is its block's size;
// writing past the end grows the block, seeking past the end is allowed and
// the gap reads as zeros once something is written beyond it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/standin/internal.h"

namespace {

using standin::Resource;
namespace internal = standin::internal;

// A stream over global memory is at most 4 GiB - 1 long on Windows (its
// sizes are ULONGs).
constexpr uint64_t kMaxStreamLength = UINT32_MAX;

class HGlobalStream final : public IStream {
 public:
  HGlobalStream(HGLOBAL block, bool delete_on_release)
      : block_(block), delete_on_release_(delete_on_release) {}

  HRESULT Read(void* buffer, ULONG bytes, ULONG* bytes_read) override {
    if (bytes_read != nullptr) *bytes_read = 0;
    if (buffer == nullptr && bytes > 0) return E_INVALIDARG;
    uint8_t* data = nullptr;
    size_t size = 0;
    // The block is looked up on every call, so a block freed under a live
    // stream gives an error rather than a read of freed memory.
    if (!internal::BlockBytes(block_, &data, &size)) return E_INVALIDARG;
    size_t count = 0;
    if (position_ < size) count = static_cast<size_t>(std::min<uint64_t>(bytes, size - position_));
    if (count > 0) std::memcpy(buffer, data + position_, count);
    position_ += count;
    if (bytes_read != nullptr) *bytes_read = static_cast<ULONG>(count);
    return S_OK;
  }

  HRESULT Write(const void* buffer, ULONG bytes, ULONG* bytes_written) override {
    if (bytes_written != nullptr) *bytes_written = 0;
    if (buffer == nullptr && bytes > 0) return E_INVALIDARG;
    uint8_t* data = nullptr;
    size_t size = 0;
    if (!internal::BlockBytes(block_, &data, &size)) return E_INVALIDARG;
    if (bytes == 0) return S_OK;
    if (position_ > kMaxStreamLength - bytes) return E_OUTOFMEMORY;
    uint64_t end = position_ + bytes;
    if (end > size) {
      if (!internal::ResizeBlock(block_, static_cast<size_t>(end))) return E_OUTOFMEMORY;
      internal::BlockBytes(block_, &data, &size);  // growing may move the data
    }
    std::memcpy(data + position_, buffer, bytes);
    position_ = end;
    if (bytes_written != nullptr) *bytes_written = bytes;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) override {
    uint8_t* data = nullptr;
    size_t size = 0;
    if (!internal::BlockBytes(block_, &data, &size)) return E_INVALIDARG;
    int64_t base = 0;
    switch (origin) {
      case STREAM_SEEK_SET:
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<int64_t>(position_);
        break;
      case STREAM_SEEK_END:
        base = static_cast<int64_t>(size);
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    // base is never negative, so only a positive move can overflow.
    int64_t offset = move.QuadPart;
    if (offset > 0 && base > INT64_MAX - offset) return STG_E_INVALIDFUNCTION;
    if (base + offset < 0) return STG_E_INVALIDFUNCTION;  // before the start
    position_ = static_cast<uint64_t>(base + offset);
    if (new_position != nullptr) new_position->QuadPart = position_;
    return S_OK;
  }

  ULONG AddRef() override { return ++references_; }

  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) {
      if (delete_on_release_) GlobalFree(block_);
      internal::NoteReleased(Resource::kStream);
      delete this;
    }
    return left;
  }

 private:
  ~HGlobalStream() override = default;

  HGLOBAL block_;
  bool delete_on_release_;
  uint64_t position_ = 0;
  ULONG references_ = 1;
};

}  // namespace

HRESULT CreateStreamOnHGlobal(HGLOBAL block, BOOL delete_on_release, IStream** stream) {
  if (stream == nullptr) return E_INVALIDARG;
  *stream = nullptr;
  uint8_t* data = nullptr;
  size_t size = 0;
  if (block != nullptr && !internal::BlockBytes(block, &data, &size)) return E_INVALIDARG;
  if (!internal::BeginAcquisition(Resource::kStream)) return E_OUTOFMEMORY;

  // Without a block the stream makes its own, a movable one of size 0. It is
  // a live global block but not an acquisition of its own.
  bool own_block = block == nullptr;
  if (own_block) {
    block = internal::AllocateBlock(GMEM_MOVEABLE, 0);
    if (block == nullptr) return E_OUTOFMEMORY;
  }
  auto* created = new (std::nothrow) HGlobalStream(block, delete_on_release != FALSE);
  if (created == nullptr) {
    if (own_block) GlobalFree(block);
    return E_OUTOFMEMORY;
  }
  internal::NoteAcquired(Resource::kStream);
  *stream = created;
  return S_OK;
}
