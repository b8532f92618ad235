// What the pieces of the stand-in share among themselves and with nobody else:
// the bookkeeping of control.h, and raw access to global blocks for streams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/standin/control.h"
#include "platform/win32.h"

namespace standin::internal {

// ---------------------------------------------------------------- control.cpp
// Counts one acquisition of `kind`; false when it is the one armed to fail,
// in which case the caller must acquire nothing and return its call's
// failure result. Called after the call's arguments are known to be good, so
// a call rejected for its arguments is no acquisition.
bool BeginAcquisition(Resource kind);
void NoteAcquired(Resource kind);
void NoteReleased(Resource kind);
GifLayout CurrentGifLayout();
bool IsGifEncoderListed();

// Stops the process with a message: the caller did what the real API answers
// with heap corruption (freeing what it never got), so no result would do.
[[noreturn]] void Misuse(const char* what);

// ---------------------------------------------------------- global_memory.cpp
// GlobalAlloc without counting an acquisition: a stream's own block.
HGLOBAL AllocateBlock(UINT flags, SIZE_T bytes);

// The bytes of a live block, for streams, which read and write it without
// locking. False for a handle that is not a live block.
bool BlockBytes(HGLOBAL block, uint8_t** data, size_t* size);

// Makes a movable block `bytes` long, zero-filling what it gains; its data may
// move. False (block unchanged) for a fixed block, which cannot move since its
// handle is its address, or when memory runs out.
bool ResizeBlock(HGLOBAL block, size_t bytes);

}  // namespace standin::internal
