// The settings record and the two entries through which the host reads it
// out and hands it back.
#include <cstdint>

#include "plugin/plugin_interface.h"

// Loop forever, mask off, until the host hands back a stored block.
Settings g_settings = {0, 0};

namespace {

constexpr int32_t kBlockSize = 8;  // loop_count, use_mask: 4 bytes each
static_assert(kBlockSize == sizeof(Settings), "the block is the record");

// The block is little-endian whatever the platform's byte order.
void PutLittleEndian(int32_t value, unsigned char* out) {
  const uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

int32_t GetLittleEndian(const unsigned char* in) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(in[i]) << (8 * i);
  return static_cast<int32_t>(bits);
}

}  // namespace

int32_t LODRA_CDECL GetConfig(void* data) {
  if (data != nullptr) {
    unsigned char* block = static_cast<unsigned char*>(data);
    PutLittleEndian(g_settings.loop_count, block);
    PutLittleEndian(g_settings.use_mask, block + 4);
  }
  return kBlockSize;
}

int32_t LODRA_CDECL SetConfig(const void* data, int32_t size) {
  if (size != kBlockSize || data == nullptr) return 0;
  const unsigned char* block = static_cast<const unsigned char*>(data);
  // No range check: a block the host kept is taken as it was given.
  g_settings.loop_count = GetLittleEndian(block);
  g_settings.use_mask = GetLittleEndian(block + 4);
  return kBlockSize;
}
