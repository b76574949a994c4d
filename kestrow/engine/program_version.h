#pragma once
// The station program's own version, shown in the window title, the about box
// and by `kestrow --version` (the transfer library has a version of its own).
#include <string>

namespace kestrow::engine {

inline constexpr int kProgramVersionMajor = 1;
inline constexpr int kProgramVersionMinor = 1;
inline constexpr int kProgramVersionBuild = 26;

// "kestrow V1.1.26 (CorvelLib V5.1.20)": the program's and the library's versions.
std::string VersionLine();

}  // namespace kestrow::engine
