// The module's one export: the table the host reads the plug-in's name,
// file filter, information text and entries from.
#include <cstdint>

#include "plugin/module_entries.h"

// The texts are 8-bit code page 932 (Shift_JIS) strings, as the host displays
// them: "\x8F\x6F\x97\xCD" is "output" in kanji.
#define LODRA_PLUGIN_NAME "Zarn\x8F\x6F\x97\xCD"

namespace {

// Label/pattern pairs for the host's save dialog, each NUL-terminated, closed
// by an empty string (the literal's own NUL makes the second one).
const char kFileFilter[] = "Zarn File (*.gif)\0*.gif\0AllFile (*.*)\0*.*\0";

// A plain static record, filled in at build time; nothing writes it later.
OutputPluginTable g_plugin_table = {
    0,                                           // flag
    LODRA_PLUGIN_NAME,                           // name
    kFileFilter,                                 // file_filter
    LODRA_PLUGIN_NAME " writes animated GIFs",   // information
    nullptr,                                     // unused_entry_16
    nullptr,                                     // unused_entry_20
    OutputAnimatedGif,                           // output
    ShowConfigDialog,                            // config
    GetConfig,                                   // config_get
    SetConfig,                                   // config_set
    {},                                          // reserved
};

}  // namespace

extern "C" OutputPluginTable* LODRA_CDECL GetOutputPluginTable(void) {
  return &g_plugin_table;
}
