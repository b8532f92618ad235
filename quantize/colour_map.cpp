#include "quantize/colour_map.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

// A box of colours, each channel from lo to hi inclusive.
struct Box {
  int lo[3];
  int hi[3];
};

int Channel(uint32_t entry, int channel) { return static_cast<int>(entry >> (16 - 8 * channel) & 0xFF); }

// The least and greatest distance from `entry` to any colour in `box`. The
// measure grows with each channel's difference on its own, so both are
// reached channel by channel.
void DistanceBounds(uint32_t entry, const Box& box, int* least, int* greatest) {
  int near[3];
  int far[3];
  for (int c = 0; c < 3; ++c) {
    const int v = Channel(entry, c);
    near[c] = v < box.lo[c] ? box.lo[c] - v : v > box.hi[c] ? v - box.hi[c] : 0;
    const int to_lo = v > box.lo[c] ? v - box.lo[c] : box.lo[c] - v;
    const int to_hi = v > box.hi[c] ? v - box.hi[c] : box.hi[c] - v;
    far[c] = to_lo > to_hi ? to_lo : to_hi;
  }
  *least = ColourDistance(near[0], near[1], near[2]);
  *greatest = ColourDistance(far[0], far[1], far[2]);
}

// The entries of `from` that can be nearest somewhere in `box`: an entry
// whose least distance exceeds some entry's greatest never wins there.
void Candidates(const Palette& palette, const std::vector<uint8_t>& from, const Box& box,
                std::vector<uint8_t>* out) {
  int bound = 0x7FFF;
  std::vector<int> least(from.size());
  for (size_t i = 0; i < from.size(); ++i) {
    int greatest = 0;
    DistanceBounds(palette.entries[from[i]], box, &least[i], &greatest);
    if (greatest < bound) bound = greatest;
  }
  out->clear();
  for (size_t i = 0; i < from.size(); ++i)
    if (least[i] <= bound) out->push_back(from[i]);  // ascending, as `from` is
}

constexpr int kCellsPerSide = 64;  // cells of 4 levels a channel
constexpr int kCellCount = kCellsPerSide * kCellsPerSide * kCellsPerSide;
constexpr int kRegion = 16;        // cells are found within regions of 16 levels

}  // namespace

ColourMap::~ColourMap() {
  delete[] cells_;
  delete[] answers_;
}

bool ColourMap::Build(const Palette& palette) {
  try {
    cells_ = new uint16_t[kCellCount];
    std::vector<uint8_t> answers(256 * 64);
    for (int i = 0; i < 256; ++i) std::memset(answers.data() + 64 * i, i, 64);
    std::vector<uint8_t> all;
    for (int i = 1; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));  // index 0 is never a match
    std::vector<uint8_t> region_candidates;
    std::vector<uint8_t> cell_candidates;
    uint8_t cell_answers[64];

    // Regions first, so that each cell sifts a handful of entries, not 255.
    for (int r = 0; r < 256; r += kRegion)
      for (int g = 0; g < 256; g += kRegion)
        for (int b = 0; b < 256; b += kRegion) {
          const Box region = {{r, g, b}, {r + kRegion - 1, g + kRegion - 1, b + kRegion - 1}};
          Candidates(palette, all, region, &region_candidates);
          for (int cr = r; cr < r + kRegion; cr += 4)
            for (int cg = g; cg < g + kRegion; cg += 4)
              for (int cb = b; cb < b + kRegion; cb += 4) {
                const Box cell = {{cr, cg, cb}, {cr + 3, cg + 3, cb + 3}};
                Candidates(palette, region_candidates, cell, &cell_candidates);
                const int index = (cr >> 2) << 12 | (cg >> 2) << 6 | (cb >> 2);
                if (cell_candidates.size() == 1) {
                  cells_[index] = cell_candidates.front();
                  continue;
                }
                bool uniform = true;
                for (int i = 0; i < 64; ++i) {
                  const uint32_t colour = static_cast<uint32_t>(cr + (i >> 4)) << 16 | static_cast<uint32_t>(cg + (i >> 2 & 3)) << 8 |
                                         static_cast<uint32_t>(cb + (i & 3));
                  cell_answers[i] = static_cast<uint8_t>(
                      NearestOf(colour, palette, cell_candidates.data(), static_cast<int>(cell_candidates.size())));
                  uniform = uniform && cell_answers[i] == cell_answers[0];
                }
                if (uniform) {
                  cells_[index] = cell_answers[0];
                  continue;
                }
                const size_t block = answers.size() / 64;
                if (block > UINT16_MAX) return false;
                cells_[index] = static_cast<uint16_t>(block);
                answers.insert(answers.end(), cell_answers, cell_answers + 64);
                ++boundary_cells_;
              }
        }
    answers_ = new uint8_t[answers.size()];
    std::memcpy(answers_, answers.data(), answers.size());
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

const ColourMap* FixedPaletteColourMap() {
  // Built once, on the first frame of the process; freed when it ends (or the
  // module is unloaded).
  static ColourMap map;
  static const bool built = map.Build(FixedPalette());
  return built ? &map : nullptr;
}
