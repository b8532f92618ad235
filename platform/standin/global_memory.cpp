// Global memory blocks. A fixed block's handle is its address. A movable
// block's handle is a token that is never an address (like the real ones, it
// is 4 more than a multiple of 8, which no heap block is), so code that
// mistakes one for the other fails here as it would on Windows.
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "platform/standin/internal.h"

namespace {

using standin::Resource;

struct Block {
  uint8_t* data = nullptr;  // malloc'd, at least one byte so it has an address
  size_t size = 0;          // what GlobalSize reports
  size_t capacity = 0;      // what `data` holds; movable blocks grow in steps
  bool movable = false;
  unsigned locks = 0;
};

constexpr UINT kKnownFlags = GMEM_MOVEABLE | GMEM_ZEROINIT;
constexpr uint8_t kUninitialisedByte = 0xA5;
// Above this malloc is not even asked: sizes wrap when rounded up.
constexpr size_t kMaxBlock = static_cast<size_t>(PTRDIFF_MAX) / 2;

std::unordered_map<HGLOBAL, Block>& Blocks() {
  static std::unordered_map<HGLOBAL, Block> blocks;
  return blocks;
}

Block* Find(HGLOBAL handle) {
  if (handle == nullptr) return nullptr;
  auto it = Blocks().find(handle);
  return it == Blocks().end() ? nullptr : &it->second;
}

HGLOBAL NextMovableHandle() {
  static uintptr_t serial = 0x1000;
  ++serial;
  return reinterpret_cast<HGLOBAL>(serial * 8 + 4);
}

}  // namespace

namespace standin::internal {

HGLOBAL AllocateBlock(UINT flags, SIZE_T bytes) {
  if ((flags & ~kKnownFlags) != 0 || bytes > kMaxBlock) return nullptr;
  Block block;
  block.movable = (flags & GMEM_MOVEABLE) != 0;
  block.size = bytes;
  block.capacity = bytes == 0 ? 1 : bytes;
  block.data = static_cast<uint8_t*>(std::malloc(block.capacity));
  if (block.data == nullptr) return nullptr;
  // Without GMEM_ZEROINIT the real heap hands out whatever was there; a fixed
  // non-zero pattern makes code that wrongly counts on zeros fail every time.
  std::memset(block.data, (flags & GMEM_ZEROINIT) != 0 ? 0x00 : kUninitialisedByte, block.capacity);
  HGLOBAL handle = block.movable ? NextMovableHandle() : static_cast<HGLOBAL>(block.data);
  try {
    Blocks().emplace(handle, block);
  } catch (const std::bad_alloc&) {
    std::free(block.data);
    return nullptr;
  }
  NoteAcquired(Resource::kGlobalBlock);
  return handle;
}

bool BlockBytes(HGLOBAL handle, uint8_t** data, size_t* size) {
  Block* block = Find(handle);
  if (block == nullptr) return false;
  *data = block->data;
  *size = block->size;
  return true;
}

bool ResizeBlock(HGLOBAL handle, size_t bytes) {
  Block* block = Find(handle);
  if (block == nullptr || bytes > kMaxBlock) return false;
  if (bytes > block->capacity) {
    if (!block->movable) return false;
    size_t capacity = block->capacity;
    while (capacity < bytes) capacity = capacity > kMaxBlock / 2 ? kMaxBlock : capacity * 2;
    auto* data = static_cast<uint8_t*>(std::realloc(block->data, capacity));
    if (data == nullptr) return false;
    block->data = data;
    block->capacity = capacity;
  }
  if (bytes > block->size) std::memset(block->data + block->size, 0, bytes - block->size);
  block->size = bytes;
  return true;
}

}  // namespace standin::internal

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~kKnownFlags) != 0) return nullptr;
  if (!standin::internal::BeginAcquisition(standin::Resource::kGlobalBlock)) return nullptr;
  return standin::internal::AllocateBlock(flags, bytes);
}

HGLOBAL GlobalFree(HGLOBAL handle) {
  if (handle == nullptr) return nullptr;
  auto it = Blocks().find(handle);
  if (it == Blocks().end()) return handle;
  // A locked block is freed too, as the real call does.
  std::free(it->second.data);
  Blocks().erase(it);
  standin::internal::NoteReleased(Resource::kGlobalBlock);
  return nullptr;
}

void* GlobalLock(HGLOBAL handle) {
  Block* block = Find(handle);
  if (block == nullptr) return nullptr;
  if (!block->movable) return block->data;
  // A movable block of size 0 has no memory behind it yet ("discarded"):
  // locking it gives null, as on Windows.
  if (block->size == 0) return nullptr;
  ++block->locks;
  return block->data;
}

BOOL GlobalUnlock(HGLOBAL handle) {
  Block* block = Find(handle);
  if (block == nullptr) return FALSE;
  // Fixed blocks have no lock count; the call succeeds.
  if (!block->movable) return TRUE;
  if (block->locks > 0) --block->locks;
  return block->locks > 0 ? TRUE : FALSE;
}

SIZE_T GlobalSize(HGLOBAL handle) {
  Block* block = Find(handle);
  return block == nullptr ? 0 : block->size;
}
