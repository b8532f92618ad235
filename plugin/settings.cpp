#include "plugin/plugin_interface.h"

// Loop forever, mask off, until the host hands back a stored block.
Settings g_settings = {0, 0};
