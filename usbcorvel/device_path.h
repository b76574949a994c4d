#pragma once
// USB device paths as the station names them, shared by the USB access library
// and the transfer library so both read a path the same way.
//
// A path is either a port location, "usb:" + bus + "-" + the chain of port
// numbers from the root hub ("usb:1-2.3"), or a device node
// "/dev/bus/usb/BBB/DDD" (bus and device address). The location is stable
// across re-plugs into the same port, which is what binds a board to a channel.
#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace usbcorvel {

struct DevicePath {
    unsigned bus = 0;
    std::vector<uint8_t> ports;  // set for a location
    unsigned address = 0;        // set for a device node (non-zero)
};

inline std::wstring FormatLocation(unsigned bus, const std::vector<uint8_t>& ports) {
    std::wstring text = L"usb:" + std::to_wstring(bus);
    for (size_t i = 0; i < ports.size(); ++i) text += (i == 0 ? L"-" : L".") + std::to_wstring(ports[i]);
    return text;
}

inline std::wstring FormatDeviceNode(unsigned bus, unsigned address) {
    wchar_t text[32];
    std::swprintf(text, 32, L"/dev/bus/usb/%03u/%03u", bus, address);
    return text;
}

namespace detail {
// Reads a decimal number of at most three digits and at most `max` at `pos`.
inline bool ReadNumber(const std::wstring& text, size_t& pos, unsigned max, unsigned& out) {
    size_t start = pos;
    out = 0;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9' && pos - start < 3)
        out = out * 10 + static_cast<unsigned>(text[pos++] - L'0');
    return pos > start && out <= max;
}
}  // namespace detail

inline std::optional<DevicePath> ParseDevicePath(const std::wstring& text) {
    DevicePath path;
    size_t pos = 0;
    const std::wstring location = L"usb:", node = L"/dev/bus/usb/";
    if (text.compare(0, location.size(), location) == 0) {
        pos = location.size();
        if (!detail::ReadNumber(text, pos, 255, path.bus) || path.bus == 0) return std::nullopt;
        if (pos == text.size()) return std::nullopt;  // a root hub binds no board
        wchar_t separator = L'-';
        while (pos < text.size()) {
            unsigned port = 0;
            if (text[pos++] != separator || !detail::ReadNumber(text, pos, 255, port) || port == 0) return std::nullopt;
            path.ports.push_back(static_cast<uint8_t>(port));
            separator = L'.';
        }
        // USB 3 allows at most seven levels of ports.
        return path.ports.size() <= 7 ? std::optional(path) : std::nullopt;
    }
    if (text.compare(0, node.size(), node) == 0) {
        pos = node.size();
        if (!detail::ReadNumber(text, pos, 255, path.bus) || path.bus == 0) return std::nullopt;
        if (pos >= text.size() || text[pos++] != L'/') return std::nullopt;
        if (!detail::ReadNumber(text, pos, 127, path.address) || path.address == 0) return std::nullopt;
        return pos == text.size() ? std::optional(path) : std::nullopt;
    }
    return std::nullopt;
}

// True when the device at (bus, ports, address) is the one `path` names.
inline bool PathNames(const DevicePath& path, unsigned bus, const std::vector<uint8_t>& ports, unsigned address) {
    if (path.bus != bus) return false;
    return path.address != 0 ? path.address == address : path.ports == ports;
}

}  // namespace usbcorvel
