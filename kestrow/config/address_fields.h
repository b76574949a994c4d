#pragma once
// Typing rules of the general page's address fields, as pure functions: the page
// passes the text before and after a keystroke and shows what comes back.
#include <string>

namespace kestrow::config {

struct FilteredField {
    std::string text;     // what the field shows now
    std::string message;  // shown to the operator when not empty
};

// MAC start, end and prefix fields: positions 2 and 5 must be ":", every other
// position a hex digit (lower case is raised); a bad character is put back.
FilteredField FilterMacField(const std::string& before, const std::string& typed);
// PID and VID: at most 4 characters; a last character that is no hex digit is dropped.
FilteredField FilterUsbIdField(const std::string& typed);
// Bluetooth start and end: at most 12 characters, hex letters raised.
FilteredField FilterBluetoothField(const std::string& typed);

}  // namespace kestrow::config
