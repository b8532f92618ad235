// The settings record and the two entries through which the host reads it
// out and hands it back.
#include "plugin/module_entries.h"

Settings g_settings = {0, 0};

int32_t LODRA_CDECL GetConfig(void* data) {
  if (data != nullptr) EncodeSettingsBlock(g_settings, static_cast<unsigned char*>(data));
  return kSettingsBlockSize;
}

int32_t LODRA_CDECL SetConfig(const void* data, int32_t size) {
  if (size != kSettingsBlockSize || data == nullptr) return 0;
  // No range check: a block the host kept is taken as it was given.
  g_settings = DecodeSettingsBlock(static_cast<const unsigned char*>(data));
  return kSettingsBlockSize;
}
