#include "host/output/gif_optimiser.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gifformat/lzw_decoder.h"
#include "gifformat/lzw_encoder.h"
#include "host/output/worker_pool.h"

namespace lodra_gif {

// ------------------------------------------------------------------ sinks

bool MemorySink::Write(const uint8_t* data, size_t size) {
  try {
    bytes.insert(bytes.end(), data, data + size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool FileSink::Write(const uint8_t* data, size_t size) {
  if (!failed_ && size > 0 && std::fwrite(data, 1, size, file_) != size) failed_ = true;
  return !failed_;
}

bool FileSink::Flush() {
  if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failed_ = true;
  return !failed_;
}

const char* OptimiseErrorText(OptimiseError error) {
  switch (error) {
    case OptimiseError::kNone: return "no error";
    case OptimiseError::kMalformed: return "a malformed GIF";
    case OptimiseError::kBadControlExtension: return "a control extension whose data is not 4 bytes";
    case OptimiseError::kEmptyScreen: return "a screen or a frame of no pixels";
    case OptimiseError::kNoGlobalTable: return "no global colour table";
    case OptimiseError::kLocalTable: return "a frame with a colour table of its own";
    case OptimiseError::kOutsideScreen: return "a frame that reaches past the screen";
    case OptimiseError::kNoTransparency: return "a frame without a transparent index";
    case OptimiseError::kMixedTransparency: return "frames with different transparent indices";
    case OptimiseError::kPlainText: return "a plain text extension";
    case OptimiseError::kTooMuchData: return "more image data than a frame of its size holds";
    case OptimiseError::kTooManyBlocks: return "more extension data between frames than is kept";
    case OptimiseError::kOutOfMemory: return "out of memory";
    case OptimiseError::kWriteFailed: return "the output could not be written";
    case OptimiseError::kFedAfterFinish: return "input after its end";
  }
  return "unknown error";
}

namespace {

using gifformat::Disposal;

// ------------------------------------------------------------------ sizes

// The input is taken this much at a time, so that a caller's large piece
// is never held whole.
constexpr size_t kInputSlice = 64 * 1024;
// Image data of more than 2 bytes a pixel (16 bits) is more than any coder
// writes, clear codes and all.
constexpr uint64_t kInputBytesPerPixel = 2;
constexpr uint64_t kInputAllowance = 4096;
// Extensions held while the frames before them are still in work.
constexpr size_t kMostHeldBytes = 1 << 20;
// Unchanged pixels are made transparent in stretches of at least this many:
// shorter ones, between changed pixels, break up the strings LZW finds there
// more than they save.
constexpr size_t kShortestHidden = 16;
// The colours the first frames show decide the order of the colour table.
constexpr int kPaletteFrames = 3;
// The image block as the optimiser writes it begins with the descriptor and
// the LZW minimum code size: no local table.
constexpr size_t kImageHeadSize = gifformat::kImageDescriptorSize + 1;

// Whether a frame that repeats the picture before it can be left out, its
// delay added to that frame's: while the sum fits the 16-bit field, and
// only where both delays are 2 or more. Browsers play a delay of 0 or 1 as
// 10: two frames of delay 1 play for 20 there, merged into one of delay 2
// they would play for 2.
bool Mergeable(uint32_t delay, uint32_t next_delay) {
  return delay >= 2 && next_delay >= 2 && delay + next_delay <= 0xFFFF;
}

uint64_t InputBlockLimit(uint64_t pixels) { return kImageHeadSize + kInputBytesPerPixel * pixels + kInputAllowance; }
uint64_t FramesInWork(int workers) { return static_cast<uint64_t>(std::max(workers, 1)) + 2; }

// --------------------------------------------------------------- pictures

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;  // right and bottom exclusive
  bool empty() const { return right <= left || bottom <= top; }
  int32_t width() const { return right - left; }
  int32_t height() const { return bottom - top; }
  bool operator==(const Rect& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  void Include(const Rect& o) {
    if (o.empty()) return;
    if (empty()) {
      *this = o;
      return;
    }
    left = std::min(left, o.left);
    top = std::min(top, o.top);
    right = std::max(right, o.right);
    bottom = std::max(bottom, o.bottom);
  }
};

// A screen's worth of indices, rows top-down; the transparent index where
// nothing is.
struct Picture {
  std::unique_ptr<uint8_t[]> pixels;
};

std::unique_ptr<uint8_t[]> Allocate(size_t size) {
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size]);
  if (!block) throw std::bad_alloc();
  return block;
}

// Screen-sized pictures, whose buffers go back to the store when the last
// frame lets go of them and are handed out again: a frame's pictures then
// cost no fresh pages. It keeps no more buffers than were once in use at
// the same time.
class PictureStore : public std::enable_shared_from_this<PictureStore> {
 public:
  explicit PictureStore(size_t size) : size_(size) {}

  std::shared_ptr<Picture> Take() {
    std::unique_ptr<uint8_t[]> pixels;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        pixels = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (!pixels) pixels = Allocate(size_);
    std::shared_ptr<PictureStore> store = shared_from_this();
    auto* picture = new Picture{std::move(pixels)};
    return std::shared_ptr<Picture>(picture, [store](Picture* done) {
      store->Give(std::move(done->pixels));
      delete done;
    });
  }

 private:
  void Give(std::unique_ptr<uint8_t[]> pixels) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      spare_.push_back(std::move(pixels));
    } catch (const std::bad_alloc&) {
    }
  }

  const size_t size_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<uint8_t[]>> spare_;
};

// The first i in [0, n) where a[i] != b[i], else n; eight bytes at a time.
size_t FirstDifference(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) break;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// One past the last i in [0, n) where a[i] != b[i], else 0.
size_t LastDifference(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = n;
  for (; i >= 8; i -= 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i - 8, 8);
    std::memcpy(&y, b + i - 8, 8);
    if (x != y) break;
  }
  while (i > 0 && a[i - 1] == b[i - 1]) --i;
  return i;
}

// Bit i of `mask` (word i / 64) set where a[i] == b[i], for i < n; the
// bits past n clear.
void EqualityMask(const uint8_t* a, const uint8_t* b, size_t n, uint64_t* mask) {
  std::memset(mask, 0, (n / 64 + 1) * sizeof *mask);
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen at a time; 16 divides 64, so a group never straddles two words.
  for (; i + 16 <= n; i += 16) {
    const __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    mask[i / 64] |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(same))) << (i % 64);
  }
#endif
  for (; i < n; ++i) mask[i / 64] |= static_cast<uint64_t>(a[i] == b[i]) << (i % 64);
}

// How many i in [1, n) have a[i] != a[i - 1]: the runs of one index, less
// one. The strings LZW finds in a row are broken up about as often.
size_t Changes(const uint8_t* a, size_t n) {
  size_t changes = 0;
  size_t i = 1;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i - 1)));
    // The equal neighbours' bits, counted without a popcount instruction.
    unsigned v = static_cast<unsigned>(_mm_movemask_epi8(same));
    v = v - (v >> 1 & 0x5555u);
    v = (v & 0x3333u) + (v >> 2 & 0x3333u);
    v = (v + (v >> 4)) & 0x0F0Fu;
    changes += 16 - ((v + (v >> 8)) & 0x1Fu);
  }
#endif
  for (; i < n; ++i) changes += a[i] != a[i - 1];
  return changes;
}

// `n` indices from `from` to `to`, each through `order` (a 256-entry
// table), or as they are when `order` is null.
void MapIndices(const uint8_t* from, uint8_t* to, size_t n, const uint8_t* order) {
  if (order == nullptr) {
    std::memcpy(to, from, n);
    return;
  }
  // Eight at a time, gathered into one store: no store stands between one
  // look-up and the next.
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t in, out = 0;
    std::memcpy(&in, from + i, 8);
    for (int k = 0; k < 8; ++k) out |= static_cast<uint64_t>(order[in >> (8 * k) & 0xFF]) << (8 * k);
    std::memcpy(to + i, &out, 8);
  }
  for (; i < n; ++i) to[i] = order[from[i]];
}

// The highest of n indices (0 for none).
uint8_t HighestOf(const uint8_t* a, size_t n) {
  uint8_t highest = 0;
  size_t i = 0;
#if defined(__SSE2__)
  __m128i most = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) most = _mm_max_epu8(most, _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
  uint8_t lanes[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), most);
  for (uint8_t lane : lanes) highest = std::max(highest, lane);
#endif
  for (; i < n; ++i) highest = std::max(highest, a[i]);
  return highest;
}

// Calls `take(start, end)` for each run of set bits in the first n bits of
// `mask` that is at least `shortest` long; the bits past n must be clear.
template <typename Take>
void ForEachLongRun(const uint64_t* mask, size_t n, size_t shortest, Take take) {
  const size_t words = n / 64 + 1;
  size_t w = 0;
  uint64_t word = mask[0];
  for (;;) {
    while (word == 0) {
      if (++w == words) return;
      word = mask[w];
    }
    const size_t start = w * 64 + static_cast<size_t>(__builtin_ctzll(word));
    // The run's end: the next clear bit.
    uint64_t gaps = ~mask[w] & (~uint64_t{0} << (start % 64));
    while (gaps == 0 && ++w < words) gaps = ~mask[w];
    const size_t end = gaps == 0 ? n : std::min(n, w * 64 + static_cast<size_t>(__builtin_ctzll(gaps)));
    if (end - start >= shortest) take(start, end);
    if (end >= n) return;
    word = mask[w] & (~uint64_t{0} << (end % 64));
  }
}

// The bounding box of the pixels of `picture` (`width` wide) inside `area`
// that are not `transparent`.
Rect OpaqueBox(const uint8_t* picture, int32_t width, const Rect& area, uint8_t transparent) {
  Rect box;
  for (int32_t y = area.top; y < area.bottom; ++y) {
    const uint8_t* row = picture + static_cast<size_t>(y) * static_cast<size_t>(width);
    int32_t x = area.left;
    while (x < area.right && row[x] == transparent) ++x;
    if (x == area.right) continue;
    int32_t end = area.right;
    while (row[end - 1] == transparent) --end;
    box.Include(Rect{x, y, end, y + 1});
  }
  return box;
}

// Rows of an interlaced image in the order they are coded: every 8th from
// 0, every 8th from 4, every 4th from 2, every 2nd from 1.
void Deinterlace(const uint8_t* coded, uint8_t* rows, size_t width, int32_t height) {
  static const int32_t kStart[4] = {0, 4, 2, 1};
  static const int32_t kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int32_t y = kStart[pass]; y < height; y += kStep[pass]) {
      std::memcpy(rows + static_cast<size_t>(y) * width, coded, width);
      coded += width;
    }
  }
}

// An encoding being tried: it fails as soon as it would be longer than the
// best one so far.
struct CappedOutput {
  std::vector<uint8_t>* bytes;
  size_t cap;
};

bool AppendCapped(void* context, const uint8_t* data, size_t size) {
  auto* out = static_cast<CappedOutput*>(context);
  if (size > out->cap - out->bytes->size()) return false;
  out->bytes->insert(out->bytes->end(), data, data + size);
  return true;
}

}  // namespace

// ------------------------------------------------------------------ frames

namespace {

enum class Stage : uint8_t {
  kWaiting,    // read, to be decoded once the output's colour order is settled
  kDecoding,   // its image data being decoded
  kComparing,  // its picture known, being compared with the one before
  kCompared,   // waiting for the next frame, which settles its rectangle and disposal
  kEncoding,   // its rectangle and disposal settled, its encodings being tried
};

struct Frame {
  int64_t number = 0;
  gifformat::ImageFields image;
  gifformat::ControlFields control;
  Rect own_rect;               // where the input's image draws
  std::vector<uint8_t> block;  // the input's image, descriptor to terminator
  Stage stage = Stage::kDecoding;
  // The colour order its pictures are in: the input's, or for a frame
  // decoded once the output's order was settled, the output's (the decoder
  // writes it, so that coding the frame needs no mapping); and the
  // transparent index in that order.
  bool in_output_order = false;
  uint8_t transparent = 0;
  bool busy = false;  // a task works on it (guarded by the optimiser's mutex)
  OptimiseError error = OptimiseError::kNone;
  gifformat::Error format_error = gifformat::Error::kNone;

  // Decoded: the image's indices, screen-sized when it covers the screen,
  // else the size of its own rectangle.
  std::shared_ptr<Picture> own;
  bool own_has_transparent = false;

  // Composited: what the input shows once this frame has drawn, and what
  // it showed before (null: nothing yet, all transparent).
  std::shared_ptr<const Picture> picture;
  std::shared_ptr<const Picture> previous;
  bool input_bytes_stand = false;     // the input's image drawn on the screen before gives `picture`
  bool may_turn_transparent = false;  // `picture` may be transparent where `previous` is not

  // Compared.
  Rect changed;            // where `picture` differs from `previous`
  Rect turns_transparent;  // where it is transparent and `previous` is not

  // Settled.
  Rect cleared;  // what the frame before clears (disposal 2) before this one draws
  Rect rect;
  Disposal disposal = Disposal::kNone;
  uint32_t delay = 0;

  // Encoded: the control extension, then the input's image block when it
  // is kept, else the image block in `output`.
  std::vector<uint8_t> output;
  bool kept_input = false;
};

// In input order: frames, and the bytes of everything else (the head, the
// extensions) to pass on where they were.
struct Item {
  std::unique_ptr<Frame> frame;
  std::vector<uint8_t> bytes;
  bool head = false;  // the signature, screen descriptor and global table
};

}  // namespace

class GifOptimiser::Impl {
 public:
  Impl(ByteSink* sink, WorkerPool* pool) : sink_(sink), pool_(pool != nullptr ? pool : &ProcessPool()) {
    frame_limit_ = FramesInWork(pool_->workers());
  }

  ~Impl() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return outstanding_ == 0; });
  }

  bool Feed(const uint8_t* bytes, size_t size) {
    if (finished_) Fail(OptimiseError::kFedAfterFinish, -1);
    while (error_ == OptimiseError::kNone && size > 0) {
      const size_t slice = std::min(size, kInputSlice);
      Guard([&] {
        input_.insert(input_.end(), bytes, bytes + slice);
        stats_.bytes_in += slice;
        TakeUnits(false);
        Pump();
      });
      bytes += slice;
      size -= slice;
    }
    return error_ == OptimiseError::kNone;
  }

  bool Finish() {
    if (finished_) Fail(OptimiseError::kFedAfterFinish, -1);
    finished_ = true;
    Guard([&] {
      TakeUnits(true);
      input_done_ = true;
      // Every frame can now be settled, the last one having none after it.
      while (error_ == OptimiseError::kNone && !queue_.empty()) {
        const uint64_t seen = Completions();
        Pump();
        if (!queue_.empty()) WaitForTask(seen);
      }
      if (error_ == OptimiseError::kNone) Write(&gifformat::kTrailer, 1);
    });
    return error_ == OptimiseError::kNone;
  }

  OptimiseError error_ = OptimiseError::kNone;
  gifformat::Error format_error_ = gifformat::Error::kNone;
  int64_t error_frame_ = -1;
  OptimiserStats stats_;

 private:
  // Memory that runs out anywhere in the caller's thread fails the
  // optimiser, not the program.
  template <typename Step>
  void Guard(Step step) {
    try {
      step();
    } catch (const std::bad_alloc&) {
      Fail(OptimiseError::kOutOfMemory, -1);
    }
  }

  void Fail(OptimiseError error, int64_t frame, gifformat::Error format = gifformat::Error::kNone) {
    if (error_ != OptimiseError::kNone) return;
    error_ = error;
    error_frame_ = frame;
    format_error_ = format;
  }

  void Write(const uint8_t* bytes, size_t size) {
    if (error_ != OptimiseError::kNone) return;
    if (!sink_->Write(bytes, size)) return Fail(OptimiseError::kWriteFailed, -1);
    stats_.bytes_out += size;
  }

  // ------------------------------------------------------------- reading

  void TakeUnits(bool input_ended) {
    while (error_ == OptimiseError::kNone && !trailer_) {
      gifformat::Unit unit;
      const uint8_t* at = input_.data() + input_at_;
      const gifformat::Step step = walker_.Next(at, input_.size() - input_at_, input_ended, &unit);
      if (step == gifformat::Step::kNeedMore || step == gifformat::Step::kEnd) break;
      if (step == gifformat::Step::kFailed) {
        Fail(OptimiseError::kMalformed, reading_ ? reading_->number : -1, walker_.error());
        break;
      }
      input_at_ += unit.size;
      TakeUnit(unit, at);
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(input_at_));
    input_at_ = 0;
  }

  void TakeUnit(const gifformat::Unit& unit, const uint8_t* bytes) {
    using gifformat::UnitKind;
    const bool control = unit.label == gifformat::kGraphicControlLabel && !unit.in_image;
    switch (unit.kind) {
      case UnitKind::kHeader: {
        const gifformat::ScreenFields& screen = unit.screen;
        if (screen.width == 0 || screen.height == 0) return Fail(OptimiseError::kEmptyScreen, -1);
        if (screen.table_entries == 0) return Fail(OptimiseError::kNoGlobalTable, -1);
        width_ = screen.width;
        height_ = screen.height;
        // A 32-bit build cannot hold the largest screens.
        if (static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_) > SIZE_MAX / 4)
          return Fail(OptimiseError::kOutOfMemory, -1);
        pixels_ = static_cast<size_t>(width_) * static_cast<size_t>(height_);
        pictures_ = std::make_shared<PictureStore>(pixels_ + gifformat::kLzwDecodeSlack);
        table_entries_ = screen.table_entries;
        Hold(std::vector<uint8_t>(bytes, bytes + unit.size));
        queue_.back().head = true;
        return;
      }
      case UnitKind::kExtension:
        if (unit.label == gifformat::kPlainTextLabel) return Fail(OptimiseError::kPlainText, frames_read_);
        control_data_ = false;
        if (!control) extension_.assign(bytes, bytes + unit.size);
        return;
      case UnitKind::kSubBlock:
        if (unit.in_image) {
          reading_->block.insert(reading_->block.end(), bytes, bytes + unit.size);
          if (reading_->block.size() > block_limit_) Fail(OptimiseError::kTooMuchData, reading_->number);
        } else if (control) {
          if (unit.sub_block != 0 || unit.data_size() != gifformat::kControlDataSize)
            return Fail(OptimiseError::kBadControlExtension, frames_read_);
          control_ = gifformat::ReadControlFields(bytes + 1);
          control_data_ = true;
        } else {
          extension_.insert(extension_.end(), bytes, bytes + unit.size);
          if (held_bytes_ + extension_.size() > kMostHeldBytes) Fail(OptimiseError::kTooManyBlocks, frames_read_);
        }
        return;
      case UnitKind::kBlockEnd:
        if (unit.in_image) {
          reading_->block.push_back(gifformat::kBlockTerminator);
          return TakeFrame();
        }
        if (control) {
          if (!control_data_) return Fail(OptimiseError::kBadControlExtension, frames_read_);
          has_control_ = true;
          return;
        }
        extension_.push_back(gifformat::kBlockTerminator);
        return Hold(std::move(extension_));
      case UnitKind::kImage:
        return StartFrame(unit, bytes);
      case UnitKind::kTrailer:
        trailer_ = true;
        return;
    }
  }

  void Hold(std::vector<uint8_t> bytes) {
    held_bytes_ += bytes.size();
    queue_.push_back(Item{nullptr, std::move(bytes)});
  }

  void StartFrame(const gifformat::Unit& unit, const uint8_t* bytes) {
    const gifformat::ImageFields& image = unit.image;
    const int64_t number = frames_read_;
    if (image.table_entries != 0) return Fail(OptimiseError::kLocalTable, number);
    if (image.width == 0 || image.height == 0) return Fail(OptimiseError::kEmptyScreen, number);
    if (image.left + image.width > width_ || image.top + image.height > height_)
      return Fail(OptimiseError::kOutsideScreen, number);
    if (!has_control_ || !control_.has_transparent) return Fail(OptimiseError::kNoTransparency, number);
    if (frames_read_ == 0) {
      transparent_ = control_.transparent_index;
    } else if (control_.transparent_index != transparent_) {
      return Fail(OptimiseError::kMixedTransparency, number);
    }
    reading_.reset(new Frame);
    Frame& frame = *reading_;
    frame.number = number;
    frame.image = image;
    frame.control = control_;
    frame.delay = control_.delay;
    frame.own_rect = Rect{image.left, image.top, image.left + image.width, image.top + image.height};
    block_limit_ = InputBlockLimit(static_cast<uint64_t>(image.width) * image.height);
    // Frames of one animation are alike: room for a little more than the last.
    frame.block.reserve(std::min<uint64_t>(block_limit_, last_block_size_ + last_block_size_ / 4));
    frame.block.assign(bytes, bytes + unit.size);
    has_control_ = false;
  }

  void TakeFrame() {
    ++frames_read_;
    ++stats_.frames_in;
    Frame& frame = *reading_;
    last_block_size_ = frame.block.size();
    queue_.push_back(Item{std::move(reading_), {}});
    ++frames_in_work_;
    // The first frames decide the output's colour order; the frames after
    // them wait for it.
    if (palette_settled_ || frame.number < kPaletteFrames) {
      StartDecoding(frame);
    } else {
      frame.stage = Stage::kWaiting;
    }
    // Bounded work: wait while enough frames are in it. The oldest always
    // has a frame after it, so it will be written.
    while (error_ == OptimiseError::kNone && frames_in_work_ >= frame_limit_) {
      const uint64_t seen = Completions();
      Pump();
      if (frames_in_work_ < frame_limit_ || !WaitForTask(seen)) break;
    }
  }

  void StartDecoding(Frame& frame) {
    frame.in_output_order = palette_settled_;
    frame.transparent = palette_settled_ ? out_transparent_ : transparent_;
    frame.stage = Stage::kDecoding;
    Run(frame, &Impl::Decode);
  }

  // ------------------------------------------------------------- tasks

  void Run(Frame& frame, void (Impl::*task)(Frame&)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      frame.busy = true;
      ++outstanding_;
    }
    pool_->Submit([this, &frame, task] {
      try {
        (this->*task)(frame);
      } catch (const std::bad_alloc&) {
        frame.error = OptimiseError::kOutOfMemory;
      }
      // Notified under the lock: once it is released the optimiser may be gone.
      std::lock_guard<std::mutex> lock(mutex_);
      frame.busy = false;
      --outstanding_;
      ++completions_;
      done_.notify_all();
    });
  }

  uint64_t Completions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completions_;
  }

  // Waits until a task has ended since `seen`; false when none is running.
  bool WaitForTask(uint64_t seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (outstanding_ == 0 && completions_ == seen) return false;
    done_.wait(lock, [&] { return completions_ != seen; });
    return true;
  }

  // True once no task works on `frame`; a task's failure fails the optimiser.
  bool Idle(Frame& frame) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (frame.busy) return false;
    }
    if (frame.error != OptimiseError::kNone) Fail(frame.error, frame.number, frame.format_error);
    return error_ == OptimiseError::kNone;
  }

  bool Compared(Frame& frame) {
    if (frame.stage == Stage::kComparing && Idle(frame)) frame.stage = Stage::kCompared;
    return frame.stage == Stage::kCompared || frame.stage == Stage::kEncoding;
  }

  void Decode(Frame& frame) {
    const gifformat::ImageFields& image = frame.image;
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    thread_local std::unique_ptr<gifformat::LzwDecoder> decoder;
    thread_local std::vector<uint8_t> scratch;
    if (!decoder) decoder.reset(new gifformat::LzwDecoder);
    scratch.resize(std::max(frame.block.size(), image.interlaced ? pixels + gifformat::kLzwDecodeSlack : 0));

    std::shared_ptr<Picture> own;
    if (frame.own_rect == Screen()) {
      own = pictures_->Take();
    } else {
      own = std::make_shared<Picture>();
      own->pixels = Allocate(pixels + gifformat::kLzwDecodeSlack);
    }
    const size_t joined = gifformat::JoinSubBlocks(frame.block.data() + kImageHeadSize,
                                                   frame.block.size() - kImageHeadSize, scratch.data());
    const uint8_t* roots = frame.in_output_order && reordered_ ? order_ : nullptr;
    const gifformat::Error error =
        decoder->Decode(scratch.data(), joined, image.code_size, own->pixels.get(), pixels, roots);
    if (error != gifformat::Error::kNone) {
      frame.error = OptimiseError::kMalformed;
      frame.format_error = error;
      return;
    }
    if (image.interlaced) {
      std::memcpy(scratch.data(), own->pixels.get(), pixels);
      Deinterlace(scratch.data(), own->pixels.get(), image.width, image.height);
    }
    frame.own_has_transparent = std::memchr(own->pixels.get(), frame.transparent, pixels) != nullptr;
    frame.own = std::move(own);
    // The input's bytes can stand for a frame only where they cover the screen.
    if (!(frame.own_rect == Screen())) std::vector<uint8_t>().swap(frame.block);
  }

  // What the input shows once `frame` has drawn, in input order.
  void Composite(Frame& frame) {
    const bool whole = frame.own_rect == Screen();
    if (whole && (!canvas_ || !frame.own_has_transparent)) {
      frame.picture = std::move(frame.own);
      frame.input_bytes_stand = true;
    } else {
      std::shared_ptr<Picture> picture = pictures_->Take();
      if (canvas_) {
        std::memcpy(picture->pixels.get(), canvas_->pixels.get(), pixels_);
      } else {
        std::memset(picture->pixels.get(), frame.transparent, pixels_);
      }
      const Rect& r = frame.own_rect;
      const uint8_t* own = frame.own->pixels.get();
      for (int32_t y = r.top; y < r.bottom; ++y) {
        uint8_t* row = picture->pixels.get() + static_cast<size_t>(y) * width_;
        const uint8_t* from = whole ? own + static_cast<size_t>(y) * width_ : own + static_cast<size_t>(y - r.top) * r.width();
        for (int32_t x = r.left; x < r.right; ++x) {
          const uint8_t v = from[whole ? x : x - r.left];
          if (v != frame.transparent) row[x] = v;
        }
      }
      frame.picture = std::move(picture);
      frame.own.reset();
    }
    frame.may_turn_transparent = !(whole && !frame.own_has_transparent);
    frame.previous = last_picture_;
    last_picture_ = frame.picture;
    // What the input's screen holds for its next frame.
    switch (frame.control.disposal) {
      case Disposal::kUnspecified:
      case Disposal::kNone:
        canvas_ = frame.picture;
        break;
      case Disposal::kBackground:
        if (whole) {
          canvas_.reset();
        } else {
          std::shared_ptr<Picture> cleared = pictures_->Take();
          std::memcpy(cleared->pixels.get(), frame.picture->pixels.get(), pixels_);
          const Rect& r = frame.own_rect;
          for (int32_t y = r.top; y < r.bottom; ++y)
            std::memset(cleared->pixels.get() + static_cast<size_t>(y) * width_ + r.left, frame.transparent,
                        static_cast<size_t>(r.width()));
          canvas_ = std::move(cleared);
        }
        break;
      case Disposal::kPrevious:
        break;
    }
  }

  void Compare(Frame& frame) {
    const uint8_t* picture = frame.picture->pixels.get();
    const size_t width = static_cast<size_t>(width_);
    std::unique_ptr<uint8_t[]> nothing;
    const uint8_t* previous = frame.previous ? frame.previous->pixels.get() : nullptr;
    if (previous == nullptr) {
      // Before the first frame the screen is transparent.
      nothing = Allocate(width);
      std::memset(nothing.get(), frame.transparent, width);
    }
    for (int32_t y = 0; y < height_; ++y) {
      const uint8_t* row = picture + static_cast<size_t>(y) * width;
      const uint8_t* before = previous != nullptr ? previous + static_cast<size_t>(y) * width : nothing.get();
      const size_t first = FirstDifference(row, before, width);
      if (first == width) continue;
      const size_t last = LastDifference(row, before, width);
      frame.changed.Include(Rect{static_cast<int32_t>(first), y, static_cast<int32_t>(last), y + 1});
      if (!frame.may_turn_transparent || previous == nullptr) continue;
      for (size_t x = first; x < last; ++x) {
        if (row[x] == frame.transparent && before[x] != frame.transparent)
          frame.turns_transparent.Include(Rect{static_cast<int32_t>(x), y, static_cast<int32_t>(x) + 1, y + 1});
      }
    }
  }

  // Row y of `frame`'s rectangle into `out` in the output's colour order
  // (`order`; null: the input's): each pixel as the picture has it, but
  // transparent where it shows what the screen already shows, in stretches
  // of at least kShortestHidden. Adds to `changes` the changes
  // from one index to another along the picture's row, and to
  // `hidden_changes` those along `out`. `mask` holds a bit a pixel.
  void HideUnchanged(const Frame& frame, int32_t y, const uint8_t* order, uint8_t* out, uint64_t* mask,
                     size_t* changes, size_t* hidden_changes) const {
    const Rect& r = frame.rect;
    const size_t width = static_cast<size_t>(r.width());
    const size_t from = static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(r.left);
    const uint8_t* now = frame.picture->pixels.get() + from;
    EqualityMask(now, frame.previous->pixels.get() + from, width, mask);
    // What the frame before cleared is transparent on the screen: drawn as it is.
    const Rect& c = frame.cleared;
    if (y >= c.top && y < c.bottom) {
      const int32_t clear_to = std::min(c.right, r.right);
      for (int32_t x = std::max(c.left, r.left); x < clear_to; ++x)
        mask[(x - r.left) / 64] &= ~(uint64_t{1} << ((x - r.left) % 64));
    }
    MapIndices(now, out, width, order);
    const uint8_t transparent = out_transparent_;
    ForEachLongRun(mask, width, kShortestHidden,
                   [&](size_t start, size_t end) { std::memset(out + start, transparent, end - start); });
    *changes += Changes(now, width);
    *hidden_changes += Changes(out, width);
  }

  void Encode(Frame& frame) {
    const Rect& r = frame.rect;
    const size_t width = static_cast<size_t>(r.width());
    const size_t area = width * static_cast<size_t>(r.height());
    const bool whole = r == Screen();
    const uint8_t* picture = frame.picture->pixels.get();
    const uint8_t* previous = frame.previous ? frame.previous->pixels.get() : nullptr;
    thread_local std::unique_ptr<gifformat::LzwEncoder> encoder;
    if (!encoder) encoder.reset(new gifformat::LzwEncoder);

    // Image blocks are compared as written: descriptor, code size, data.
    // Each candidate is coded after room for the control extension and the
    // descriptor, so that the best one is the frame's output as it stands.
    constexpr size_t kHead = gifformat::kControlExtensionSize + gifformat::kImageDescriptorSize;
    size_t best = SIZE_MAX;
    bool use_input = false;
    std::vector<uint8_t> trial;
    // A frame that clears its rectangle must be written as that rectangle.
    if (!reordered_ && frame.input_bytes_stand && !frame.block.empty() &&
        (frame.disposal != Disposal::kBackground || whole)) {
      best = frame.block.size();
      use_input = true;
    }
    thread_local std::vector<uint8_t> candidate;
    candidate.resize(area);
    uint8_t* const pixels = candidate.data();
    // The output's colour order, for a frame whose pictures are in the
    // input's, in a table of this call's own (which the candidates' writes
    // cannot alias).
    uint8_t order_table[256];
    std::memcpy(order_table, order_, sizeof order_table);
    const uint8_t* const order = reordered_ && !frame.in_output_order ? order_table : nullptr;
    auto try_pixels = [&] {
      // In the output's colour order, with the fewest code bits it allows.
      int code_size = gifformat::kMaxLzwCodeSize;
      if (reordered_) {
        const uint8_t highest = std::max(HighestOf(pixels, area), out_transparent_);
        code_size = gifformat::kMinLzwCodeSize;
        while (highest >> code_size != 0) ++code_size;
      }
      trial.assign(kHead, 0);
      // Only a shorter one wins: of equals, the input's bytes stay.
      CappedOutput out{&trial, best == SIZE_MAX ? SIZE_MAX : best - gifformat::kImageDescriptorSize - 1 + kHead};
      const gifformat::LzwResult result =
          encoder->Write(pixels, r.width(), r.height(), r.width(), AppendCapped, &out, code_size);
      if (result == gifformat::LzwResult::kOutOfMemory) throw std::bad_alloc();
      if (result != gifformat::LzwResult::kOk) return;
      frame.output.swap(trial);
      best = frame.output.size() - gifformat::kControlExtensionSize;
      use_input = false;
    };

    // Unchanged pixels transparent, but for short stretches of them between
    // changed ones: those keep their colours, so that a changed area is not
    // broken up into short strings. Tried only where that breaks the rows
    // into fewer runs than the picture's own: where it does not (a pan, even
    // over flat colours), it has not been found smaller. Where it breaks
    // them into clearly fewer (by a tenth), the picture's own pixels have
    // not been found smaller either, and are not tried.
    bool hiding_is_clearly_smaller = false;
    if (previous != nullptr) {
      thread_local std::vector<uint64_t> mask;
      mask.resize(width / 64 + 1);
      size_t changes = 0, hidden_changes = 0;
      for (int32_t y = r.top; y < r.bottom; ++y)
        HideUnchanged(frame, y, order, pixels + static_cast<size_t>(y - r.top) * width, mask.data(), &changes,
                      &hidden_changes);
      if (hidden_changes < changes) try_pixels();
      hiding_is_clearly_smaller = best != SIZE_MAX && !use_input && 10 * hidden_changes < 9 * changes;
    }
    // Every pixel as it is, unless that is the input's image already.
    if (!(use_input && whole) && !hiding_is_clearly_smaller) {
      for (int32_t y = r.top; y < r.bottom; ++y)
        MapIndices(picture + static_cast<size_t>(y) * static_cast<size_t>(width_) + r.left,
                   pixels + static_cast<size_t>(y - r.top) * width, width, order);
      try_pixels();
    }

    gifformat::ControlFields control;
    control.disposal = frame.disposal;
    control.has_transparent = true;
    control.transparent_index = out_transparent_;
    control.delay = static_cast<uint16_t>(frame.delay);
    if (use_input) frame.output.resize(gifformat::kControlExtensionSize);
    gifformat::WriteControlExtension(control, frame.output.data());
    if (!use_input) {
      uint8_t* descriptor = frame.output.data() + gifformat::kControlExtensionSize;
      descriptor[0] = gifformat::kImageSeparator;
      gifformat::WriteLe16(descriptor + 1, static_cast<uint16_t>(r.left));
      gifformat::WriteLe16(descriptor + 3, static_cast<uint16_t>(r.top));
      gifformat::WriteLe16(descriptor + 5, static_cast<uint16_t>(r.width()));
      gifformat::WriteLe16(descriptor + 7, static_cast<uint16_t>(r.height()));
      descriptor[gifformat::kImagePackedOffset] = 0;  // no local table, not interlaced
    }
    frame.kept_input = use_input;
    // What only this frame needed.
    if (!use_input) std::vector<uint8_t>().swap(frame.block);
    frame.picture.reset();
    frame.previous.reset();
  }

  // ------------------------------------------------------------- the pipeline

  Rect Screen() const { return Rect{0, 0, width_, height_}; }

  // Moves every frame on as far as it can go without waiting.
  void Pump() {
    for (bool progress = true; progress && error_ == OptimiseError::kNone;) {
      progress = CompositeFrames();
      progress = SettleFrames() || progress;
      progress = WriteFrames() || progress;
    }
  }

  bool CompositeFrames() {
    bool progress = false;
    for (Item& item : queue_) {
      if (item.frame && item.frame->stage == Stage::kWaiting) break;
      if (!item.frame || item.frame->stage != Stage::kDecoding) continue;
      Frame& frame = *item.frame;
      if (!Idle(frame)) break;
      Composite(frame);
      if (!palette_settled_ && palette_frames_ < kPaletteFrames) CountColours(frame);
      frame.stage = Stage::kComparing;
      Run(frame, &Impl::Compare);
      progress = true;
    }
    return progress;
  }

  void CountColours(const Frame& frame) {
    const uint8_t* pixels = frame.picture->pixels.get();
    for (size_t i = 0; i < pixels_; ++i) ++colour_count_[pixels[i]];
    ++palette_frames_;
  }

  // The colour table's order for the output, once the first frames are
  // compared (or all of them, when there are fewer). A frame's LZW code
  // size follows from the highest index it draws, so where the first frames
  // show at most half the table, their colours come first, the most seen
  // first, after the transparent index: a frame that draws only those codes
  // with fewer bits. The table holds the same colours, so every picture is
  // the same. But every frame is then coded anew, so where the first frames
  // after the first change the whole screen (a pan, whose frames keep the
  // input's bytes), the order stays.
  bool SettlePalette() {
    int frames = 0;
    bool pan = true;
    for (Item& item : queue_) {
      if (!item.frame || frames == kPaletteFrames) continue;
      if (!Compared(*item.frame)) return false;
      if (frames > 0) pan = pan && item.frame->changed == Screen();
      ++frames;
    }
    if (frames < kPaletteFrames && !input_done_) return false;
    palette_settled_ = true;
    for (int i = 0; i < 256; ++i) order_[i] = static_cast<uint8_t>(i);
    out_transparent_ = transparent_;
    if ((pan && frames > 1) || queue_.empty() || !queue_.front().head || transparent_ >= table_entries_)
      return true;
    std::vector<int> seen;
    for (int i = 0; i < table_entries_; ++i)
      if (colour_count_[i] > 0 && i != transparent_) seen.push_back(i);
    if (static_cast<int>(seen.size()) + 1 > table_entries_ / 2) return true;
    std::stable_sort(seen.begin(), seen.end(), [this](int a, int b) { return colour_count_[a] > colour_count_[b]; });
    std::vector<int> by_new = {transparent_};
    by_new.insert(by_new.end(), seen.begin(), seen.end());
    for (int i = 0; i < table_entries_; ++i)
      if (colour_count_[i] == 0 && i != transparent_) by_new.push_back(i);
    std::vector<uint8_t>& head = queue_.front().bytes;
    const std::vector<uint8_t> table(head.begin() + gifformat::kHeaderSize, head.end());
    for (size_t n = 0; n < by_new.size(); ++n) {
      order_[by_new[n]] = static_cast<uint8_t>(n);
      std::memcpy(head.data() + gifformat::kHeaderSize + 3 * n, table.data() + 3 * by_new[n], 3);
    }
    const size_t background = gifformat::kSignatureSize + 5;
    if (head[background] < table_entries_) head[background] = order_[head[background]];
    out_transparent_ = order_[transparent_];
    reordered_ = true;
    return true;
  }

  // From the frame after the first ones on, pictures are in the output's
  // colour order: what the input's screen shows so far is put in it, and
  // the frames that waited for it are decoded in it.
  void TakeUpTheOrder() {
    if (reordered_) {
      auto in_output_order = [this](const std::shared_ptr<const Picture>& picture) {
        std::shared_ptr<Picture> mapped = pictures_->Take();
        MapIndices(picture->pixels.get(), mapped->pixels.get(), pixels_, order_);
        return mapped;
      };
      const bool shared = canvas_ == last_picture_;
      if (last_picture_) last_picture_ = in_output_order(last_picture_);
      if (canvas_) canvas_ = shared ? last_picture_ : in_output_order(canvas_);
    }
    for (Item& item : queue_)
      if (item.frame && item.frame->stage == Stage::kWaiting) StartDecoding(*item.frame);
  }

  // Settles the first unsettled frame's rectangle and disposal once the
  // frame after it is known: it merges the frames after it that show the
  // same picture, clears what the next one turns transparent.
  bool SettleFrames() {
    bool progress = false;
    if (!palette_settled_) {
      if (!SettlePalette()) return false;
      TakeUpTheOrder();
    }
    for (;;) {
      auto it = queue_.begin();
      while (it != queue_.end() && (!it->frame || it->frame->stage == Stage::kEncoding)) ++it;
      if (it == queue_.end() || !Compared(*it->frame)) return progress;
      Frame& frame = *it->frame;
      auto next = std::next(it);
      while (next != queue_.end() && !next->frame) ++next;
      Rect turns_transparent;
      if (next == queue_.end()) {
        if (!input_done_) return progress;
      } else {
        Frame& after = *next->frame;
        if (!Compared(after)) return progress;
        if (after.changed.empty() && Mergeable(frame.delay, after.delay)) {
          frame.delay += after.delay;
          queue_.erase(next);
          --frames_in_work_;
          ++stats_.frames_merged;
          progress = true;
          continue;
        }
        turns_transparent = after.turns_transparent;
      }
      Settle(frame, turns_transparent);
      progress = true;
    }
    return progress;
  }

  void Settle(Frame& frame, const Rect& next_turns_transparent) {
    frame.cleared = last_cleared_;
    Rect need = frame.changed;
    // What the frame before cleared, this one draws again.
    if (!frame.cleared.empty())
      need.Include(OpaqueBox(frame.picture->pixels.get(), width_, frame.cleared, frame.transparent));
    need.Include(next_turns_transparent);
    if (need.empty()) need = Rect{0, 0, 1, 1};  // a frame draws at least a pixel
    frame.rect = need;
    frame.disposal = next_turns_transparent.empty() ? Disposal::kNone : Disposal::kBackground;
    last_cleared_ = frame.disposal == Disposal::kBackground ? frame.rect : Rect();
    frame.stage = Stage::kEncoding;
    Run(frame, &Impl::Encode);
  }

  bool WriteFrames() {
    bool progress = false;
    while (!queue_.empty() && error_ == OptimiseError::kNone) {
      Item& item = queue_.front();
      if (item.head && !palette_settled_) break;
      if (item.frame) {
        Frame& frame = *item.frame;
        if (frame.stage != Stage::kEncoding || !Idle(frame)) break;
        Write(frame.output.data(), frame.output.size());
        if (frame.kept_input) Write(frame.block.data(), frame.block.size());
        ++stats_.frames_out;
        stats_.frames_kept += frame.kept_input ? 1 : 0;
        --frames_in_work_;
      } else {
        Write(item.bytes.data(), item.bytes.size());
        held_bytes_ -= item.bytes.size();
      }
      queue_.pop_front();
      progress = true;
    }
    return progress;
  }

  ByteSink* sink_;
  WorkerPool* pool_;
  std::shared_ptr<PictureStore> pictures_;
  uint64_t frame_limit_ = 3;

  // Reading.
  gifformat::Walker walker_;
  std::vector<uint8_t> input_;
  size_t input_at_ = 0;
  bool trailer_ = false;
  bool finished_ = false;
  bool input_done_ = false;  // every frame has been read
  int32_t width_ = 0, height_ = 0;
  size_t pixels_ = 0;
  uint8_t transparent_ = 0;  // every frame's transparent index
  std::vector<uint8_t> extension_;  // the extension being read
  gifformat::ControlFields control_;
  bool control_data_ = false;  // the control extension being read had its data
  bool has_control_ = false;   // a control extension waits for its image
  std::unique_ptr<Frame> reading_;
  uint64_t block_limit_ = 0;
  size_t last_block_size_ = 0;
  int64_t frames_read_ = 0;

  // The colour table's order (input index to output index), once the first
  // frames have been seen.
  int table_entries_ = 0;
  uint64_t colour_count_[256] = {};
  int palette_frames_ = 0;
  bool palette_settled_ = false;
  bool reordered_ = false;
  uint8_t order_[256] = {};
  uint8_t out_transparent_ = 0;

  // Frames in work and the blocks between them.
  std::deque<Item> queue_;
  uint64_t frames_in_work_ = 0;
  size_t held_bytes_ = 0;
  std::shared_ptr<const Picture> canvas_;        // the input's screen before its next frame; null: transparent
  std::shared_ptr<const Picture> last_picture_;  // what the input's last frame shows
  Rect last_cleared_;                            // what the last settled frame clears

  // Tasks.
  std::mutex mutex_;
  std::condition_variable done_;
  int outstanding_ = 0;
  uint64_t completions_ = 0;
};

// ------------------------------------------------------------------ the face

GifOptimiser::GifOptimiser(ByteSink* sink, WorkerPool* pool) : impl_(new Impl(sink, pool)) {}
GifOptimiser::~GifOptimiser() = default;
bool GifOptimiser::Feed(const uint8_t* bytes, size_t size) { return impl_->Feed(bytes, size); }
bool GifOptimiser::Finish() { return impl_->Finish(); }
OptimiseError GifOptimiser::error() const { return impl_->error_; }
gifformat::Error GifOptimiser::format_error() const { return impl_->format_error_; }
int64_t GifOptimiser::error_frame() const { return impl_->error_frame_; }
OptimiserStats GifOptimiser::stats() const { return impl_->stats_; }

std::string GifOptimiser::Describe() const {
  std::string text = impl_->error_frame_ >= 0 ? "frame " + std::to_string(impl_->error_frame_) + ": " : "";
  text += OptimiseErrorText(impl_->error_);
  if (impl_->error_ == OptimiseError::kMalformed) text += std::string(": ") + gifformat::ErrorText(impl_->format_error_);
  return text;
}

uint64_t OptimiserBytesNeeded(int32_t width, int32_t height, int workers) {
  const uint64_t pixels = static_cast<uint64_t>(std::max(width, 0)) * static_cast<uint64_t>(std::max(height, 0));
  const uint64_t executors = static_cast<uint64_t>(std::max(workers, 1));
  const uint64_t picture = pixels + gifformat::kLzwDecodeSlack;
  const uint64_t input_block = InputBlockLimit(pixels);
  const uint64_t output = gifformat::kControlExtensionSize +
                          std::max(input_block, gifformat::kImageDescriptorSize + gifformat::LzwMostCodedBytes(pixels));
  // Each frame in work, and the one being read: its input image, its own
  // indices and its picture, its output.
  const uint64_t frame = input_block + 2 * picture + output;
  // Each thread working a task: the joined code bytes or a de-interlaced
  // copy, a candidate's pixels and two candidates' codes, the coders.
  const uint64_t executor = std::max(input_block, picture) + picture + 2 * gifformat::LzwMostCodedBytes(pixels) +
                            gifformat::LzwEncoderBytes(width) + sizeof(gifformat::LzwDecoder);
  // The pictures outside the frames: what the frame before the oldest
  // showed and the input's screen between frames; the input taken at a
  // time and the extensions held.
  const uint64_t outside = 2 * picture + kInputSlice + gifformat::kLongestUnit + 2 * kMostHeldBytes;
  return (FramesInWork(workers) + 1) * frame + executors * executor + outside;
}

}  // namespace lodra_gif
