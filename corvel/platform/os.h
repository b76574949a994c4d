#pragma once
// Small operating-system helpers: folders, local time, text conversion.
#include <string>

namespace corvel::platform {

// Where the station keeps its files: $KESTROW_STATION when set and not empty,
// else the folder of the running executable. No trailing slash.
std::string StationFolder();

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime Now();

// Wide text (as the interface passes it) to UTF-8.
std::string ToUtf8(const wchar_t* text);

// A port name as the station gives it to the device path: "COMn" (n >= 1)
// means /dev/ttyS(n-1); anything else is taken as a path.
std::string PortPath(const std::string& name);

}  // namespace corvel::platform
