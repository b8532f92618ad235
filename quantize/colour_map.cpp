#include "quantize/colour_map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define LODRA_CUBE_SHORTCUT 1
#include <tmmintrin.h>
#else
#define LODRA_CUBE_SHORTCUT 0
#endif

namespace {

// Channels in the order of a host pixel's bytes, which is also the order of
// a colour's bytes from the lowest: 0 blue, 1 green, 2 red.
constexpr int kChannels = 3;
constexpr int kCellWidth = 4;   // levels a channel in one cell, at most
constexpr int kMaxLevels = 6;   // cube levels a channel: 6 x 6 x 6 entries fit in 255, 7 x 7 x 7 do not

int ChannelOf(uint32_t colour, int channel) { return static_cast<int>(colour >> (8 * channel) & 0xFF); }

uint32_t ColourOf(int blue, int green, int red) {
  return static_cast<uint32_t>(red) << 16 | static_cast<uint32_t>(green) << 8 | static_cast<uint32_t>(blue);
}

// A box of colours, each channel from lo to hi inclusive.
struct Box {
  int lo[kChannels];
  int hi[kChannels];
};

// The least and greatest distance from `entry` to any colour in `box`. The
// measure grows with each channel's difference on its own, so both are
// reached channel by channel.
void DistanceBounds(uint32_t entry, const Box& box, int* least, int* greatest) {
  int near[kChannels];
  int far[kChannels];
  for (int c = 0; c < kChannels; ++c) {
    const int v = ChannelOf(entry, c);
    near[c] = v < box.lo[c] ? box.lo[c] - v : v > box.hi[c] ? v - box.hi[c] : 0;
    far[c] = std::max(v > box.lo[c] ? v - box.lo[c] : box.lo[c] - v, v > box.hi[c] ? v - box.hi[c] : box.hi[c] - v);
  }
  *least = ColourDistance(near[2], near[1], near[0]);
  *greatest = ColourDistance(far[2], far[1], far[0]);
}

// The palette's colour cube: levels a channel such that every combination of
// them is an opaque entry. Other entries (greys, system colours) rarely
// repeat a channel's value, so the levels are each channel's most frequent
// values: the largest number of them whose combinations are all entries. A colour's nearest cube entry is then the one at each channel's
// nearest level, since the distance grows with each channel's difference.
// A cube of 6 levels or fewer: 7 x 7 x 7 entries do not fit in a palette.
struct Cube {
  int count = 0;                       // levels a channel, 0: no cube
  int levels[kChannels][kMaxLevels];   // ascending
  // The entry of each combination, [blue][green][red]: the highest index
  // among entries of that colour, as the search breaks ties.
  uint8_t index[kMaxLevels][kMaxLevels][kMaxLevels];
  // The nearest level's number for each value; on a tie the lower one in
  // nearest_low and the upper one in nearest_high.
  uint8_t nearest_low[kChannels][256];
  uint8_t nearest_high[kChannels][256];

  int Answer(uint32_t colour) const {
    return index[nearest_low[0][colour & 0xFF]][nearest_low[1][colour >> 8 & 0xFF]][nearest_low[2][colour >> 16 & 0xFF]];
  }
};

// The highest opaque index holding `colour`, 0 when none does.
int EntryOf(const Palette& palette, uint32_t colour) {
  for (int i = 255; i > kTransparentIndex; --i)
    if ((palette.entries[i] & 0xFFFFFF) == colour) return i;
  return 0;
}

void FindCube(const Palette& palette, Cube* cube) {
  int order[kChannels][256];
  int frequency[kChannels][256] = {};
  for (int i = 1; i < 256; ++i)
    for (int c = 0; c < kChannels; ++c) ++frequency[c][ChannelOf(palette.entries[i], c)];
  for (int c = 0; c < kChannels; ++c) {
    for (int v = 0; v < 256; ++v) order[c][v] = v;
    std::stable_sort(order[c], order[c] + 256, [&](int a, int b) { return frequency[c][a] > frequency[c][b]; });
  }
  for (int count = kMaxLevels; count >= 2; --count) {
    bool found = true;
    for (int c = 0; c < kChannels && found; ++c) {
      // The count-th most frequent value must be strictly more frequent than
      // the next, or the levels are not well defined.
      found = frequency[c][order[c][count - 1]] > frequency[c][order[c][count]];
      std::copy(order[c], order[c] + count, cube->levels[c]);
      std::sort(cube->levels[c], cube->levels[c] + count);
    }
    for (int b = 0; b < count && found; ++b)
      for (int g = 0; g < count && found; ++g)
        for (int r = 0; r < count && found; ++r) {
          const int entry = EntryOf(palette, ColourOf(cube->levels[0][b], cube->levels[1][g], cube->levels[2][r]));
          cube->index[b][g][r] = static_cast<uint8_t>(entry);
          found = entry != 0;
        }
    if (!found) continue;
    cube->count = count;
    for (int c = 0; c < kChannels; ++c)
      for (int v = 0; v < 256; ++v) {
        int low = 0;
        int high = 0;
        for (int k = 1; k < count; ++k) {
          const int distance = std::abs(v - cube->levels[c][k]);
          if (distance < std::abs(v - cube->levels[c][low])) low = k;
          if (distance <= std::abs(v - cube->levels[c][high])) high = k;
        }
        cube->nearest_low[c][v] = static_cast<uint8_t>(low);
        cube->nearest_high[c][v] = static_cast<uint8_t>(high);
      }
    return;
  }
  cube->count = 0;
}

}  // namespace

// Builds the map's tables: the cells, then each box of cells with the
// entries that can be nearest in it, halved until one entry is left or one
// cell, whose colours then go through the search. Where the cube entry of a
// colour is not its answer, the region is noted for the shortcut.
class MapBuilder {
 public:
  MapBuilder(ColourMap* map, const Palette& palette) : map_(*map), palette_(palette) {}

  bool Run() {
    FindCube(palette_, &cube_);
    CutChannels();
    const size_t cell_count =
        static_cast<size_t>(cell_count_[0]) * static_cast<size_t>(cell_count_[1]) * static_cast<size_t>(cell_count_[2]);
    map_.cells_.assign(cell_count, 0);
    // One block for each entry, then the boundary cells' blocks; about 12 000
    // of those for the fixed palette.
    map_.answers_.reserve(ColourMap::kSlots * (256 + 16384));
    map_.answers_.resize(ColourMap::kSlots * 256);
    for (int i = 0; i < 256; ++i)
      std::memset(map_.answers_.data() + ColourMap::kSlots * i, i, ColourMap::kSlots);

    // Entries that are not cube entries, in ascending order; the cube's own
    // come from each box's nearest levels.
    uint8_t others[255];
    int other_count = 0;
    for (int i = 1; i < 256; ++i)
      if (!IsCubeEntry(i)) others[other_count++] = static_cast<uint8_t>(i);
    const int first[kChannels] = {0, 0, 0};
    if (!Fill(first, cell_count_, others, other_count)) return false;
    DeriveShortcut();
    return true;
  }

 private:
  ColourMap& map_;
  const Palette& palette_;
  Cube cube_;
  int cell_count_[kChannels];
  int cell_first_[kChannels][257];  // first level of each cell, then 256
  // Where a colour's cube entry is not its answer: the largest spread of
  // channels among those answered by a grey entry (-1: none), and each
  // channel's values among the others.
  int grey_spread_ = -1;
  bool off_grey_[kChannels][256] = {};

  // Entries of a cube colour: the cube's own, and any lower entry of the
  // same colour, which loses every tie to it and is never an answer.
  bool IsCubeEntry(int index) const {
    if (cube_.count == 0) return false;
    for (int c = 0; c < kChannels; ++c) {
      const int* end = cube_.levels[c] + cube_.count;
      if (std::find(cube_.levels[c], end, ChannelOf(palette_.entries[index], c)) == end) return false;
    }
    return true;
  }

  // Each channel is cut where its nearest cube level changes (nowhere
  // without a cube), then every kCellWidth levels from each cut.
  void CutChannels() {
    for (int c = 0; c < kChannels; ++c) {
      int count = 0;
      int start = 0;
      for (int v = 0; v < 256; ++v) {
        const bool new_zone = cube_.count != 0 && v > 0 && cube_.nearest_low[c][v] != cube_.nearest_low[c][v - 1];
        if (v == 0 || new_zone || v - start == kCellWidth) {
          start = v;
          cell_first_[c][count++] = v;
        }
      }
      cell_first_[c][count] = 256;
      cell_count_[c] = count;
    }
    const uint32_t stride[kChannels] = {1, static_cast<uint32_t>(cell_count_[0]),
                                        static_cast<uint32_t>(cell_count_[0] * cell_count_[1])};
    for (int c = 0; c < kChannels; ++c)
      for (int cell = 0; cell < cell_count_[c]; ++cell)
        for (int v = cell_first_[c][cell]; v < cell_first_[c][cell + 1]; ++v)
          map_.keys_[c][v] = static_cast<uint32_t>(cell) * stride[c] << ColourMap::kSlotBits |
                             static_cast<uint32_t>(v - cell_first_[c][cell]) << (2 * c);
  }

  size_t CellNumber(int blue, int green, int red) const {
    return (static_cast<size_t>(red) * static_cast<size_t>(cell_count_[1]) + static_cast<size_t>(green)) *
               static_cast<size_t>(cell_count_[0]) +
           static_cast<size_t>(blue);
  }

  Box BoxOf(const int first[kChannels], const int end[kChannels]) const {
    Box box;
    for (int c = 0; c < kChannels; ++c) {
      box.lo[c] = cell_first_[c][first[c]];
      box.hi[c] = cell_first_[c][end[c]] - 1;
    }
    return box;
  }

  // The cells [first, end) a channel, with the non-cube entries `others`
  // that may be nearest somewhere in them.
  bool Fill(const int first[kChannels], const int end[kChannels], const uint8_t* others, int other_count) {
    const Box box = BoxOf(first, end);
    // The cube entries at each channel's nearest levels, then every other
    // entry that no candidate beats throughout the box: an entry whose least
    // distance exceeds some candidate's greatest is never nearest there.
    uint8_t candidates[256];
    int count = 0;
    bool one_cube_entry = true;
    if (cube_.count != 0) {
      int from[kChannels];
      int to[kChannels];
      for (int c = 0; c < kChannels; ++c) {
        from[c] = cube_.nearest_low[c][box.lo[c]];
        to[c] = cube_.nearest_high[c][box.hi[c]];
        one_cube_entry = one_cube_entry && from[c] == to[c];
      }
      for (int b = from[0]; b <= to[0]; ++b)
        for (int g = from[1]; g <= to[1]; ++g)
          for (int r = from[2]; r <= to[2]; ++r) candidates[count++] = cube_.index[b][g][r];
    }
    const int cube_count = count;
    std::copy(others, others + other_count, candidates + count);
    count += other_count;
    int least[256];
    int bound = 0x7FFF;
    for (int i = 0; i < count; ++i) {
      int greatest = 0;
      DistanceBounds(palette_.entries[candidates[i]], box, &least[i], &greatest);
      bound = std::min(bound, greatest);
    }
    // The box's candidates, and the non-cube ones among them for its parts.
    uint8_t kept[256];
    int kept_count = 0;
    int kept_cube = 0;
    for (int i = 0; i < count; ++i) {
      if (least[i] > bound) continue;
      kept_cube += i < cube_count;
      kept[kept_count++] = candidates[i];
    }
    const uint8_t* kept_others = kept + kept_cube;
    const int kept_other_count = kept_count - kept_cube;
    std::copy(kept, kept + kept_count, candidates);
    count = kept_count;
    std::sort(candidates, candidates + count);  // the search wants ascending order

    if (count == 1) {
      FillCells(first, end, candidates[0]);
      if (kept_cube == 0 || !one_cube_entry) NoteExceptions(box, candidates[0]);
      return true;
    }
    int split = 0;
    for (int c = 1; c < kChannels; ++c)
      if (end[c] - first[c] > end[split] - first[split]) split = c;
    if (end[split] - first[split] == 1) return SearchCell(first, box, candidates, count);
    const int middle = (first[split] + end[split]) / 2;
    int low_end[kChannels] = {end[0], end[1], end[2]};
    int high_first[kChannels] = {first[0], first[1], first[2]};
    low_end[split] = middle;
    high_first[split] = middle;
    return Fill(first, low_end, kept_others, kept_other_count) && Fill(high_first, end, kept_others, kept_other_count);
  }

  void FillCells(const int first[kChannels], const int end[kChannels], int index) {
    for (int r = first[2]; r < end[2]; ++r)
      for (int g = first[1]; g < end[1]; ++g) {
        uint16_t* row = map_.cells_.data() + CellNumber(first[0], g, r);
        std::fill(row, row + (end[0] - first[0]), static_cast<uint16_t>(index));
      }
  }

  // One cell with several candidates: every colour through the search.
  bool SearchCell(const int first[kChannels], const Box& box, const uint8_t* candidates, int count) {
    uint8_t answers[ColourMap::kSlots];
    bool uniform = true;
    int answer0 = -1;
    for (int r = box.lo[2]; r <= box.hi[2]; ++r)
      for (int g = box.lo[1]; g <= box.hi[1]; ++g)
        for (int b = box.lo[0]; b <= box.hi[0]; ++b) {
          const uint32_t colour = ColourOf(b, g, r);
          const int answer = NearestOf(colour, palette_, candidates, count);
          answers[(r - box.lo[2]) << 4 | (g - box.lo[1]) << 2 | (b - box.lo[0])] = static_cast<uint8_t>(answer);
          if (answer0 < 0) answer0 = answer;
          uniform = uniform && answer == answer0;
          if (cube_.count != 0 && answer != cube_.Answer(colour)) {
            const Box one = {{b, g, r}, {b, g, r}};
            NoteExceptions(one, answer);
          }
        }
    const size_t cell = CellNumber(first[0], first[1], first[2]);
    if (uniform) {
      map_.cells_[cell] = static_cast<uint16_t>(answer0);
      return true;
    }
    const size_t block = map_.answers_.size() / ColourMap::kSlots;
    if (block > UINT16_MAX) return false;
    map_.cells_[cell] = static_cast<uint16_t>(block);
    map_.answers_.insert(map_.answers_.end(), answers, answers + ColourMap::kSlots);
    ++map_.boundary_cells_;
    return true;
  }

  // Entry `index` answers every colour of `box`, and the cube entry does not
  // (or not everywhere).
  void NoteExceptions(const Box& box, int index) {
    const uint32_t entry = palette_.entries[index];
    if (ChannelOf(entry, 0) == ChannelOf(entry, 1) && ChannelOf(entry, 1) == ChannelOf(entry, 2)) {
      // The box's widest spread of channels, at most.
      const int spread = std::max({box.hi[0], box.hi[1], box.hi[2]}) - std::min({box.lo[0], box.lo[1], box.lo[2]});
      grey_spread_ = std::max(grey_spread_, spread);
      return;
    }
    for (int c = 0; c < kChannels; ++c) std::fill(off_grey_[c] + box.lo[c], off_grey_[c] + box.hi[c] + 1, true);
  }

  void DeriveShortcut();
};

void MapBuilder::DeriveShortcut() {
  ColourMap::Shortcut& s = map_.shortcut_;
  s.usable = false;
#if LODRA_CUBE_SHORTCUT
  __builtin_cpu_init();
  if (cube_.count == 0 || !__builtin_cpu_supports("ssse3")) return;
  // A cube entry must be the sum of one share a channel (modulo 256) ...
  int share[kChannels][kMaxLevels];
  for (int k = 0; k < cube_.count; ++k) {
    share[0][k] = cube_.index[k][0][0];
    share[1][k] = cube_.index[0][k][0] - cube_.index[0][0][0];
    share[2][k] = cube_.index[0][0][k] - cube_.index[0][0][0];
  }
  for (int b = 0; b < cube_.count; ++b)
    for (int g = 0; g < cube_.count; ++g)
      for (int r = 0; r < cube_.count; ++r)
        if (((share[0][b] + share[1][g] + share[2][r]) & 0xFF) != cube_.index[b][g][r]) return;
  // ... that steps at most once in each run of 16 levels 16h..16h+15.
  for (int c = 0; c < kChannels; ++c)
    for (int h = 0; h < 16; ++h) {
      const int base = share[c][cube_.nearest_low[c][16 * h]] & 0xFF;
      int last = 15;
      int step = 0;
      for (int low = 0; low < 16; ++low) {
        const int here = share[c][cube_.nearest_low[c][16 * h + low]] & 0xFF;
        if (last == 15 && here != base) {
          last = low - 1;
          step = (here - base) & 0xFF;
        }
        if (here != ((low > last ? base + step : base) & 0xFF)) return;
      }
      s.share_base[c][h] = static_cast<uint8_t>(base);
      s.share_last[c][h] = static_cast<int8_t>(last);
      s.share_step[c][h] = static_cast<uint8_t>(step);
    }
  s.grey = grey_spread_ >= 0;
  s.grey_spread = static_cast<uint8_t>(std::max(grey_spread_, 0));
  // Each channel's values near other entries as at most two ranges: the
  // runs of them, the closest ones joined.
  s.off_grey = false;
  for (int c = 0; c < kChannels; ++c) {
    int lo[128];
    int hi[128];
    int runs = 0;
    for (int v = 0; v < 256; ++v) {
      if (!off_grey_[c][v]) continue;
      if (runs > 0 && hi[runs - 1] == v - 1) {
        hi[runs - 1] = v;
      } else {
        lo[runs] = hi[runs] = v;
        ++runs;
      }
    }
    if (runs == 0) break;
    while (runs > 2) {
      int join = 0;
      for (int i = 1; i + 1 < runs; ++i)
        if (lo[i + 1] - hi[i] < lo[join + 1] - hi[join]) join = i;
      hi[join] = hi[join + 1];
      std::copy(lo + join + 2, lo + runs, lo + join + 1);
      std::copy(hi + join + 2, hi + runs, hi + join + 1);
      --runs;
    }
    for (int k = 0; k < 2; ++k) {
      const int run = std::min(k, runs - 1);  // one run: both ranges alike
      s.range_lo[c][k] = static_cast<uint8_t>(lo[run]);
      s.range_width[c][k] = static_cast<uint8_t>(hi[run] - lo[run]);
    }
    s.off_grey = c == kChannels - 1;
  }
  s.usable = true;
#endif
}

size_t ColourMap::table_bytes() const {
  return sizeof keys_ + cells_.size() * sizeof(uint16_t) + answers_.size();
}

bool ColourMap::Build(const Palette& palette) {
  try {
    return MapBuilder(this, palette).Run();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void ColourMap::MapPixels(const uint8_t* pixels, size_t count, uint8_t* indices) const {
#if LODRA_CUBE_SHORTCUT
  if (shortcut_.usable) {
    MapWithShortcut(pixels, count, indices);
    return;
  }
#endif
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* pixel = pixels + 3 * i;
    indices[i] = static_cast<uint8_t>(Find(ColourOf(pixel[0], pixel[1], pixel[2])));
  }
}

#if LODRA_CUBE_SHORTCUT
__attribute__((target("ssse3"))) void ColourMap::MapWithShortcut(const uint8_t* pixels, size_t count,
                                                                  uint8_t* indices) const {
  // 16 pixels are 48 bytes in three registers; for each channel a shuffle of
  // each register picks its bytes (channel c of pixel i is byte 3i + c) and
  // leaves zeros elsewhere (a shuffle index with the top bit set).
  __m128i gather[kChannels][3];
  for (int c = 0; c < kChannels; ++c)
    for (int part = 0; part < 3; ++part) {
      alignas(16) int8_t at[16];
      for (int i = 0; i < 16; ++i) {
        const int byte = 3 * i + c - 16 * part;
        at[i] = static_cast<int8_t>(byte >= 0 && byte < 16 ? byte : -128);
      }
      gather[c][part] = _mm_load_si128(reinterpret_cast<const __m128i*>(at));
    }
  const Shortcut& s = shortcut_;
  __m128i base[kChannels];
  __m128i last[kChannels];
  __m128i step[kChannels];
  __m128i range_lo[kChannels][2];
  __m128i range_width[kChannels][2];
  for (int c = 0; c < kChannels; ++c) {
    base[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.share_base[c]));
    last[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.share_last[c]));
    step[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.share_step[c]));
    for (int k = 0; k < 2; ++k) {
      range_lo[c][k] = _mm_set1_epi8(static_cast<char>(s.range_lo[c][k]));
      range_width[c][k] = _mm_set1_epi8(static_cast<char>(s.range_width[c][k]));
    }
  }
  const __m128i zero = _mm_setzero_si128();
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i grey_spread = _mm_set1_epi8(static_cast<char>(s.grey_spread));
  const __m128i grey_on = _mm_set1_epi8(s.grey ? -1 : 0);
  const __m128i off_grey_on = _mm_set1_epi8(s.off_grey ? -1 : 0);

  size_t x = 0;
  for (; x + 16 <= count; x += 16) {
    const uint8_t* p = pixels + 3 * x;
    const __m128i bytes[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))};
    __m128i channel[kChannels];
    __m128i answer = zero;
    __m128i off_grey = off_grey_on;
    for (int c = 0; c < kChannels; ++c) {
      channel[c] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(bytes[0], gather[c][0]),
                                             _mm_shuffle_epi8(bytes[1], gather[c][1])),
                                _mm_shuffle_epi8(bytes[2], gather[c][2]));
      // The channel's share of the cube entry: the share at the start of its
      // run of 16 levels, plus the step once the low nibble is past it.
      const __m128i high = _mm_and_si128(_mm_srli_epi16(channel[c], 4), nibble);
      const __m128i low = _mm_and_si128(channel[c], nibble);
      const __m128i past = _mm_cmpgt_epi8(low, _mm_shuffle_epi8(last[c], high));
      answer = _mm_add_epi8(answer, _mm_add_epi8(_mm_shuffle_epi8(base[c], high),
                                                 _mm_and_si128(past, _mm_shuffle_epi8(step[c], high))));
      // v - lo <= width, unsigned, for either range.
      const __m128i in0 = _mm_cmpeq_epi8(
          _mm_subs_epu8(_mm_sub_epi8(channel[c], range_lo[c][0]), range_width[c][0]), zero);
      const __m128i in1 = _mm_cmpeq_epi8(
          _mm_subs_epu8(_mm_sub_epi8(channel[c], range_lo[c][1]), range_width[c][1]), zero);
      off_grey = _mm_and_si128(off_grey, _mm_or_si128(in0, in1));
    }
    const __m128i spread =
        _mm_sub_epi8(_mm_max_epu8(_mm_max_epu8(channel[0], channel[1]), channel[2]),
                     _mm_min_epu8(_mm_min_epu8(channel[0], channel[1]), channel[2]));
    const __m128i grey = _mm_and_si128(grey_on, _mm_cmpeq_epi8(_mm_subs_epu8(spread, grey_spread), zero));
    if (_mm_movemask_epi8(_mm_or_si128(grey, off_grey)) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(indices + x), answer);
      continue;
    }
    for (size_t i = 0; i < 16; ++i) {
      const uint8_t* pixel = p + 3 * i;
      indices[x + i] = static_cast<uint8_t>(Find(ColourOf(pixel[0], pixel[1], pixel[2])));
    }
  }
  for (; x < count; ++x) {
    const uint8_t* pixel = pixels + 3 * x;
    indices[x] = static_cast<uint8_t>(Find(ColourOf(pixel[0], pixel[1], pixel[2])));
  }
}
#endif

const ColourMap* FixedPaletteColourMap() {
  // Built once, on the first frame of the process; freed when it ends (or the
  // module is unloaded).
  static ColourMap map;
  static const bool built = map.Build(FixedPalette());
  return built ? &map : nullptr;
}
