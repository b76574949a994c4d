#include "kestrow/engine/program_version.h"

#include "corvel.h"

#include <cstdio>

namespace kestrow::engine {

std::string VersionLine() {
    unsigned major = 0, minor = 0, build = 0;
    KW_GetVersion(&major, &minor, &build);
    char text[96];
    std::snprintf(text, sizeof text, "kestrow V%d.%d.%02d (CorvelLib V%u.%u.%02u)", kProgramVersionMajor,
                  kProgramVersionMinor, kProgramVersionBuild, major, minor, build);
    return text;
}

}  // namespace kestrow::engine
