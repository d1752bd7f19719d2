#include "interface_link.h"

#include "guid_text.h"

namespace VexaPlatform {

std::string InterfaceLink(const std::string& instanceId, const GUID& interfaceClass, std::size_t ordinal) {
    std::string link = "\\\\?\\";
    for (char c : instanceId) link += (c == '\\') ? '#' : c;
    link += '#';
    link += FormatGuid(interfaceClass);
    if (ordinal > 1) link += "\\" + std::to_string(ordinal);
    return link;
}

std::string InterfaceLink(const DeviceRecord& device, std::size_t index) {
    const GUID& interfaceClass = device.interfaces[index].interfaceClass;
    std::size_t ordinal = 1;
    for (std::size_t i = 0; i < index; ++i)
        if (device.interfaces[i].interfaceClass == interfaceClass) ++ordinal;
    return InterfaceLink(device.instanceId, interfaceClass, ordinal);
}

}  // namespace VexaPlatform
