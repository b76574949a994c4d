#include "kestrow/config/address_fields.h"

#include "kestrow/config/text_util.h"

#include <cctype>

namespace kestrow::config {

FilteredField FilterMacField(const std::string& before, const std::string& typed) {
    for (std::size_t i = 0; i < typed.size(); ++i) {
        if (i == 2 || i == 5) {
            if (typed[i] != ':') return {before, "MAC Address format must be 00:00:00!"};
        } else if (!IsHex(typed[i])) {
            return {before, ""};
        }
    }
    return {ToUpperAscii(typed), ""};
}

FilteredField FilterUsbIdField(const std::string& typed) {
    if (typed.size() > 4) return {typed.substr(0, 4), "lenght more than 4"};
    if (!typed.empty() && !IsHex(typed.back())) return {typed.substr(0, typed.size() - 1), ""};
    return {typed, ""};
}

FilteredField FilterBluetoothField(const std::string& typed) {
    if (typed.size() > 12) return {ToUpperAscii(typed.substr(0, 12)), "blue addr len more than 12"};
    return {ToUpperAscii(typed), ""};
}

}  // namespace kestrow::config
