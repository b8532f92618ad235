#include "quantize/colour_map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "quantize/colour_map_internal.h"

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define LODRA_CUBE_SHORTCUT 1
#include <immintrin.h>
#else
#define LODRA_CUBE_SHORTCUT 0
#endif

namespace {

// Channels in the order of a host pixel's bytes, which is also the order of
// a colour's bytes from the lowest: 0 blue, 1 green, 2 red.
constexpr int kChannels = 3;
constexpr int kCellWidth = 4;   // levels a channel in one cell, at most
constexpr int kMaxLevels = 6;   // cube levels a channel, at most

int ChannelOf(uint32_t colour, int channel) { return static_cast<int>(colour >> (8 * channel) & 0xFF); }

// The map's answers for `count` pixels one at a time, through Find: where
// no row kernel runs, and for the pixels after a kernel's last full step.
void FindRow(const ColourMap::Tables& tables, const uint8_t* pixels, size_t count, uint8_t* indices) {
  for (size_t i = 0; i < count; ++i) indices[i] = static_cast<uint8_t>(tables.Find(PixelColour(pixels + 3 * i)));
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
// values: the largest number of them, up to 6 (7 x 7 x 7 entries do not fit
// in a palette), whose combinations are all entries. A colour's nearest cube
// entry is then the one at each channel's nearest level, since the distance
// grows with each channel's difference.
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

// A channel's step function in the kernels' form (see ColourMap::Shortcut)
// for each run of 16 levels; false when a run has more than one step.
bool StepTables(const int value[256], uint8_t base[16], int8_t last[16], uint8_t step[16]) {
  for (int h = 0; h < 16; ++h) {
    const int* run = value + 16 * h;
    last[h] = 15;
    step[h] = 0;
    for (int low = 1; low < 16; ++low)
      if (run[low] != run[0]) {
        last[h] = static_cast<int8_t>(low - 1);
        step[h] = static_cast<uint8_t>(run[low] - run[0]);
        break;
      }
    base[h] = static_cast<uint8_t>(run[0]);
    for (int low = 0; low < 16; ++low)
      if (run[low] != (low > last[h] ? run[0] + step[h] : run[0]) % 256) return false;
  }
  return true;
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
    // One block for each entry, then the boundary cells' blocks: 11 028 of
    // those for the fixed palette.
    map_.answers_.reserve(ColourMap::kSlots * (256 + 12288));
    map_.answers_.resize(ColourMap::kSlots * 256);
    for (int i = 0; i < 256; ++i)
      std::memset(map_.answers_.data() + ColourMap::kSlots * i, i, ColourMap::kSlots);

    // Entries that are not cube entries, in ascending order; the cube's own
    // come from each box's nearest levels.
    uint8_t others[255];
    int other_count = 0;
    for (int i = 1; i < 256; ++i)
      if (!IsCubeEntry(i)) others[other_count++] = static_cast<uint8_t>(i);
    // Zone by zone (the whole of colour space without a cube): inside one,
    // the cube's only candidate is the entry at its levels.
    for (int b = 0; b < zone_count_[0]; ++b)
      for (int g = 0; g < zone_count_[1]; ++g)
        for (int r = 0; r < zone_count_[2]; ++r) {
          const int first[kChannels] = {zone_first_[0][b], zone_first_[1][g], zone_first_[2][r]};
          const int end[kChannels] = {zone_first_[0][b + 1], zone_first_[1][g + 1], zone_first_[2][r + 1]};
          if (!Fill(first, end, others, other_count)) return false;
        }
    DeriveShortcut();
    return true;
  }

 private:
  ColourMap& map_;
  const Palette& palette_;
  Cube cube_;
  int cell_count_[kChannels];
  int cell_first_[kChannels][257];  // first level of each cell, then 256
  int zone_count_[kChannels];
  int zone_first_[kChannels][kMaxLevels + 1];  // first cell of each zone, then the cell count
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
      zone_count_[c] = 0;
      for (int v = 0; v < 256; ++v) {
        const bool new_zone = v == 0 || (cube_.count != 0 && cube_.nearest_low[c][v] != cube_.nearest_low[c][v - 1]);
        if (new_zone) zone_first_[c][zone_count_[c]++] = count;
        if (new_zone || v - start == kCellWidth) {
          start = v;
          cell_first_[c][count++] = v;
        }
      }
      cell_first_[c][count] = 256;
      cell_count_[c] = count;
      zone_first_[c][zone_count_[c]] = count;
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
    if (kept_count == 1) {
      FillCells(first, end, kept[0]);
      if (kept_cube == 0 || !one_cube_entry) NoteExceptions(box, kept[0]);
      return true;
    }
    int split = 0;
    for (int c = 1; c < kChannels; ++c)
      if (end[c] - first[c] > end[split] - first[split]) split = c;
    if (end[split] - first[split] == 1) {
      std::sort(kept, kept + kept_count);  // the search wants ascending order
      // The cube entry, when it is the same throughout the cell.
      const int cube_entry = cube_.count != 0 && one_cube_entry ? cube_.Answer(ColourOf(box.lo[0], box.lo[1], box.lo[2])) : -1;
      return SearchCell(first, box, kept, kept_count, cube_entry);
    }
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

  // One cell with several candidates: every colour through the search. The
  // search runs over all 64 places of the block; in a cell narrower than 4
  // levels the places past its edge repeat its last level, and are never
  // looked up.
  bool SearchCell(const int first[kChannels], const Box& box, const uint8_t* candidates, int count, int cube_entry) {
    uint8_t channel[kChannels][ColourMap::kSlots];
    for (int c = 0; c < kChannels; ++c)
      for (uint32_t slot = 0; slot < ColourMap::kSlots; ++slot)
        channel[c][slot] = static_cast<uint8_t>(std::min(box.lo[c] + static_cast<int>(slot >> (2 * c) & 3), box.hi[c]));
    uint8_t nearest[ColourMap::kSlots];
    static_assert(ColourMap::kSlots == kNearestAtOnce, "a cell's colours go through the search at once");
    NearestOf64(channel[2], channel[1], channel[0], palette_, candidates, count, nearest);

    bool uniform = true;
    for (uint32_t slot = 1; slot < ColourMap::kSlots; ++slot) uniform = uniform && nearest[slot] == nearest[0];
    if (cube_.count != 0) {
      // Where the cube entry is not the answer: the grey spread of those
      // colours, or their levels for the shortcut's channel tests.
      for (uint32_t slot = 0; slot < ColourMap::kSlots; ++slot) {
        const int b = channel[0][slot];
        const int g = channel[1][slot];
        const int r = channel[2][slot];
        if (nearest[slot] == (cube_entry >= 0 ? cube_entry : cube_.Answer(ColourOf(b, g, r)))) continue;
        const Box colour = {{b, g, r}, {b, g, r}};
        NoteExceptions(colour, nearest[slot]);
      }
    }
    const size_t cell = CellNumber(first[0], first[1], first[2]);
    if (uniform) {
      map_.cells_[cell] = nearest[0];
      return true;
    }
    const size_t block = map_.answers_.size() / ColourMap::kSlots;
    if (block > UINT16_MAX) return false;
    map_.cells_[cell] = static_cast<uint16_t>(block);
    map_.answers_.insert(map_.answers_.end(), nearest, nearest + ColourMap::kSlots);
    ++map_.boundary_cells_;
    return true;
  }

  bool IsGrey(int index) const {
    const uint32_t entry = palette_.entries[index];
    return ChannelOf(entry, 0) == ChannelOf(entry, 1) && ChannelOf(entry, 1) == ChannelOf(entry, 2);
  }

  void NoteOffGrey(const Box& box) {
    for (int c = 0; c < kChannels; ++c) std::fill(off_grey_[c] + box.lo[c], off_grey_[c] + box.hi[c] + 1, true);
  }

  // Entry `index` answers every colour of `box`, and the cube entry does not
  // (or not everywhere).
  void NoteExceptions(const Box& box, int index) {
    if (!IsGrey(index)) return NoteOffGrey(box);
    // The box's widest spread of channels, at most.
    const int spread = std::max({box.hi[0], box.hi[1], box.hi[2]}) - std::min({box.lo[0], box.lo[1], box.lo[2]});
    grey_spread_ = std::max(grey_spread_, spread);
  }

  void DeriveShortcut();
};

void MapBuilder::DeriveShortcut() {
  ColourMap::Shortcut& s = map_.shortcut_;
  s.pixels = 0;
#if LODRA_CUBE_SHORTCUT
  __builtin_cpu_init();
  const int pixels = __builtin_cpu_supports("avx2") ? 32 : __builtin_cpu_supports("ssse3") ? 16 : 0;
  if (cube_.count == 0 || pixels == 0) return;
  // A cube entry must be the sum of one share a channel, modulo 256 ...
  int share[kChannels][kMaxLevels];
  for (int k = 0; k < cube_.count; ++k) {
    share[0][k] = cube_.index[k][0][0];
    share[1][k] = cube_.index[0][k][0] - cube_.index[0][0][0] + 256;
    share[2][k] = cube_.index[0][0][k] - cube_.index[0][0][0] + 256;
  }
  for (int b = 0; b < cube_.count; ++b)
    for (int g = 0; g < cube_.count; ++g)
      for (int r = 0; r < cube_.count; ++r)
        if ((share[0][b] + share[1][g] + share[2][r]) % 256 != cube_.index[b][g][r]) return;
  // ... with each channel's share stepping at most once in 16 levels.
  for (int c = 0; c < kChannels; ++c) {
    int value[256];
    for (int v = 0; v < 256; ++v) value[v] = share[c][cube_.nearest_low[c][v]] % 256;
    if (!StepTables(value, s.share_base[c], s.share_last[c], s.share_step[c])) return;
  }
  s.grey = grey_spread_ >= 0;
  s.grey_spread = static_cast<uint8_t>(std::max(grey_spread_, 0));
  // Off the grey axis each channel's doubtful values, widened where a run
  // of 16 levels would step more than once: the whole run is then doubtful.
  for (int c = 0; c < kChannels; ++c) {
    int member[256];
    for (int v = 0; v < 256; ++v) member[v] = off_grey_[c][v] ? 0xFF : 0;
    for (int* run = member; run < member + 256; run += 16) {
      int steps = 0;
      for (int low = 1; low < 16; ++low) steps += run[low] != run[low - 1];
      if (steps > 1) std::fill(run, run + 16, 0xFF);
    }
    uint8_t step[16];
    StepTables(member, s.member_base[c], s.member_last[c], step);
  }
  // The cells as the kernels find them: zone by zone, one every kCellWidth
  // levels; checked against the keys, which are what Find uses.
  for (int c = 0; c < kChannels; ++c) {
    int zone[256];
    for (int v = 0; v < 256; ++v) zone[v] = cube_.nearest_low[c][v];
    uint8_t step[16];
    if (!StepTables(zone, s.zone_base[c], s.zone_last[c], step) || cell_count_[c] > 127) return;
    std::copy(step, step + 16, s.zone_step[c]);
    for (int v = 255; v >= 0; --v) s.zone_start[c][zone[v]] = static_cast<uint8_t>(v);
    for (int k = 0; k < cube_.count; ++k)
      s.zone_cell[c][k] = static_cast<uint8_t>(std::upper_bound(cell_first_[c], cell_first_[c] + cell_count_[c],
                                                                s.zone_start[c][k]) - cell_first_[c] - 1);
  }
  s.cells_blue = static_cast<uint8_t>(cell_count_[0]);
  s.cells_green = static_cast<uint8_t>(cell_count_[1]);
  const uint32_t stride[kChannels] = {1, s.cells_blue, static_cast<uint32_t>(s.cells_blue) * s.cells_green};
  for (int c = 0; c < kChannels; ++c)
    for (int v = 0; v < 256; ++v) {
      const int zone = cube_.nearest_low[c][v];
      const int into = v - s.zone_start[c][zone];
      const uint32_t key = (s.zone_cell[c][zone] + static_cast<uint32_t>(into / kCellWidth)) * stride[c]
                               << ColourMap::kSlotBits |
                           static_cast<uint32_t>(into % kCellWidth) << (2 * c);
      if (key != map_.keys_[c][v]) return;
    }
  s.pixels = pixels;
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

#if LODRA_CUBE_SHORTCUT
namespace {

// Channel c of pixel i is byte 3i + c of 16 pixels' 48 bytes: for each
// channel and each 16 of those bytes, the byte shuffle that moves the
// channel's bytes to their pixels' places and leaves 0 elsewhere (0x80).
struct GatherPattern {
  uint8_t at[kChannels][3][16];  // [channel][which 16 bytes]
};

constexpr GatherPattern MakeGatherPattern() {
  GatherPattern pattern{};
  for (int c = 0; c < kChannels; ++c)
    for (int part = 0; part < 3; ++part)
      for (int i = 0; i < 16; ++i) {
        const int byte = 3 * i + c - 16 * part;
        pattern.at[c][part][i] = static_cast<uint8_t>(byte >= 0 && byte < 16 ? byte : 0x80);
      }
  return pattern;
}

alignas(16) constexpr GatherPattern kGather = MakeGatherPattern();

}  // namespace

// The row kernel for each instruction set, compiled for it alone: the same
// source (colour_map_rows.inc) with the vector type and its operations.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif
namespace ssse3 {
typedef __m128i Vector;
constexpr size_t kPixels = 16;
inline Vector Load(const uint8_t* pixels, int part) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16 * part));
}
inline Vector Table(const void* bytes) { return _mm_loadu_si128(static_cast<const __m128i*>(bytes)); }
inline Vector Shuffle(Vector table, Vector at) { return _mm_shuffle_epi8(table, at); }
inline Vector Splat(int byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
inline Vector And(Vector a, Vector b) { return _mm_and_si128(a, b); }
inline Vector Or(Vector a, Vector b) { return _mm_or_si128(a, b); }
inline Vector Xor(Vector a, Vector b) { return _mm_xor_si128(a, b); }
inline Vector Add(Vector a, Vector b) { return _mm_add_epi8(a, b); }
inline Vector Sub(Vector a, Vector b) { return _mm_sub_epi8(a, b); }
inline Vector High(Vector v) { return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F)); }
inline Vector Greater(Vector a, Vector b) { return _mm_cmpgt_epi8(a, b); }
inline Vector AtMost(Vector a, Vector b) { return _mm_cmpeq_epi8(_mm_subs_epu8(a, b), _mm_setzero_si128()); }
inline Vector Max(Vector a, Vector b) { return _mm_max_epu8(a, b); }
inline Vector Min(Vector a, Vector b) { return _mm_min_epu8(a, b); }
inline uint32_t Mask(Vector v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }
inline void Store(uint8_t* indices, Vector v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(indices), v); }
inline __m128i Half(Vector v, int) { return v; }
#include "quantize/colour_map_rows.inc"
}  // namespace ssse3
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
// Pixels 0-15 in the low 128 bits and 16-31 in the high, each half laid out
// as with SSSE3: a byte shuffle stays within its half.
typedef __m256i Vector;
constexpr size_t kPixels = 32;
inline Vector Load(const uint8_t* pixels, int part) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16 * part))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 48 + 16 * part)), 1);
}
inline Vector Table(const void* bytes) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(bytes)));
}
inline Vector Shuffle(Vector table, Vector at) { return _mm256_shuffle_epi8(table, at); }
inline Vector Splat(int byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
inline Vector And(Vector a, Vector b) { return _mm256_and_si256(a, b); }
inline Vector Or(Vector a, Vector b) { return _mm256_or_si256(a, b); }
inline Vector Xor(Vector a, Vector b) { return _mm256_xor_si256(a, b); }
inline Vector Add(Vector a, Vector b) { return _mm256_add_epi8(a, b); }
inline Vector Sub(Vector a, Vector b) { return _mm256_sub_epi8(a, b); }
inline Vector High(Vector v) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F)); }
inline Vector Greater(Vector a, Vector b) { return _mm256_cmpgt_epi8(a, b); }
inline Vector AtMost(Vector a, Vector b) {
  return _mm256_cmpeq_epi8(_mm256_subs_epu8(a, b), _mm256_setzero_si256());
}
inline Vector Max(Vector a, Vector b) { return _mm256_max_epu8(a, b); }
inline Vector Min(Vector a, Vector b) { return _mm256_min_epu8(a, b); }
inline uint32_t Mask(Vector v) { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }
inline void Store(uint8_t* indices, Vector v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(indices), v); }
inline __m128i Half(Vector v, int half) {
  return half == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
}
#include "quantize/colour_map_rows.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

void ColourMap::MapPixels(const uint8_t* pixels, size_t count, uint8_t* indices, int pixels_at_a_time) const {
#if LODRA_CUBE_SHORTCUT
  const int way = std::min(pixels_at_a_time, shortcut_.pixels);
  if (way == 32) return avx2::MapRow(*this, pixels, count, indices);
  if (way == 16) return ssse3::MapRow(*this, pixels, count, indices);
#else
  static_cast<void>(pixels_at_a_time);
#endif
  FindRow(Tables(*this), pixels, count, indices);
}

void MapPixelsToIndices(const ColourMap& map, const uint8_t* pixels, size_t count, uint8_t* indices) {
  map.MapPixels(pixels, count, indices);
}

const ColourMap* FixedPaletteColourMap() {
  // Built once, on the first frame of the process; freed when it ends (or the
  // module is unloaded).
  static ColourMap map;
  static const bool built = map.Build(FixedPalette());
  return built ? &map : nullptr;
}
