// What an HKEY of the stand-in points to: a snapshot of one device-interface key,
// taken when the key is opened and owned by the handle until RegCloseKey.
#pragma once

#include "machine_state_directory.h"

struct HKEY__ {
    VexaPlatform::RegistryValues values;
};
