#pragma once
// The one UTF-8 / UTF-16 converter of the program. Every caller chooses what
// happens to text that is not valid: the station's own files replace each
// broken sequence by U+FFFD and read on, FAT names refuse the whole name.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrow::base {

enum class Malformed {
    Replace,  // each broken sequence becomes U+FFFD
    Refuse,   // no result at all
};

// UTF-16 code units (host order) from UTF-8. Overlong forms, surrogates,
// values beyond U+10FFFF, stray continuation bytes and cut sequences are broken.
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8, Malformed policy);
// UTF-8 from UTF-16 code units; an unpaired surrogate is broken.
std::optional<std::string> Utf16ToUtf8(std::u16string_view units, Malformed policy);
// Characters (code points) of UTF-8 text; a broken sequence counts as one.
std::size_t CountCodePoints(std::string_view utf8);

enum class ByteOrder { Little, Big };
// The bytes as UTF-16 code units of the given order; an odd last byte is dropped.
std::u16string DecodeUtf16(std::string_view bytes, ByteOrder order);
// The code units as bytes of the given order.
std::string EncodeUtf16(std::u16string_view units, ByteOrder order);

}  // namespace kestrow::base
