// Symbolic links of device interfaces. They follow the Windows form
//     \\?\<instance ID with '\' as '#'>#<class GUID in lower case>
// e.g. \\?\SWD#VexaFramework#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}. The n-th
// interface (n >= 2) of one class on one device carries the reference string n,
// as in \\?\SWD#VexaFramework#0000#{...}\2, so every interface has its own link.
// Links compare without regard to letter case, as on Windows.
#pragma once

#include <string>

#include "machine_state_directory.h"

namespace VexaPlatform {

// `ordinal` counts the interfaces of this class on the device, from 1.
std::string InterfaceLink(const std::string& instanceId, const GUID& interfaceClass, std::size_t ordinal);

// The link of device.interfaces[index].
std::string InterfaceLink(const DeviceRecord& device, std::size_t index);

}  // namespace VexaPlatform
