#pragma once
// File names on a FAT volume: long (VFAT) names in UTF-16 and the 8.3 short
// name every entry carries beside them.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrow::fat {

using ShortName = std::array<std::uint8_t, 11>;  // 8 name + 3 extension bytes, space padded

// Converts a UTF-8 name to the UTF-16 long name FAT stores, or explains in
// `why` (empty result) why FAT cannot hold it: not valid UTF-8, empty, "." or
// "..", a control character or one of \ / : * ? " < > |, a trailing dot or
// space (readers drop those), or more than 255 UTF-16 units.
std::u16string ToLongName(std::string_view utf8, std::string& why);

// True when `utf8` already is a valid upper-case 8.3 name, which is stored as
// the short entry alone, without long-name entries.
bool IsPlainShortName(std::string_view utf8);

// Directory entries a name takes: its long-name entries plus the short entry.
// Only meaningful for names ToLongName accepts.
std::uint32_t EntriesForName(std::string_view utf8);

// The short name derived from a long name. `lossless` is false when
// characters had to be dropped or replaced, or the name had to be cut, so the
// name needs a numeric tail ("~1") to stay unique.
ShortName ShortNameBasis(std::u16string_view longName, bool& lossless);

// `basis` with "~n" put into its name part.
ShortName WithNumericTail(const ShortName& basis, std::uint32_t n);

std::uint8_t ShortNameChecksum(const ShortName& name);

// Key under which a directory compares names: FAT matches names without
// regard to letter case, also beyond ASCII ("Ä.txt" and "ä.txt" clash).
std::u16string FoldCase(std::u16string_view name);

}  // namespace kestrow::fat
