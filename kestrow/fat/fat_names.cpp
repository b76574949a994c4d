#include "kestrow/fat/fat_names.h"

#include "kestrow/base/unicode.h"

#include <algorithm>
#include <clocale>
#include <cwctype>
#include <locale.h>

namespace kestrow::fat {

namespace {

constexpr std::size_t kMaxLongName = 255;

bool IsShortNameChar(char16_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::u16string_view(u"$%'-_@~`!(){}^#&").find(c) != std::u16string_view::npos;
}

char16_t UpperAscii(char16_t c) { return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 'a' + 'A') : c; }

}  // namespace

std::u16string ToLongName(std::string_view utf8, std::string& why) {
    // FAT names are refused whole when they are not valid text.
    std::optional<std::u16string> units = base::Utf8ToUtf16(utf8, base::Malformed::Refuse);
    if (!units) {
        why = "it is not valid UTF-8 text";
        return {};
    }
    std::u16string& name = *units;
    if (name.empty() || utf8 == "." || utf8 == "..") {
        why = "it is empty or a folder reference";
        return {};
    }
    for (char16_t c : name) {
        if (c < 0x20 || c == 0x7F || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) {
            why = "it contains a character FAT names cannot hold (control characters or \\ / : * ? \" < > |)";
            return {};
        }
    }
    if (name.back() == u'.' || name.back() == u' ') {
        why = "it ends with a dot or a space, which FAT readers drop";
        return {};
    }
    if (name.size() > kMaxLongName) {
        why = "it is longer than 255 characters";
        return {};
    }
    return name;
}

bool IsPlainShortName(std::string_view utf8) {
    const std::size_t dot = utf8.find('.');
    const std::string_view base = utf8.substr(0, dot);
    const std::string_view ext = dot == std::string_view::npos ? std::string_view{} : utf8.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
    if (dot != std::string_view::npos && ext.empty()) return false;
    auto plain = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x80 && IsShortNameChar(static_cast<char16_t>(c));
        });
    };
    return plain(base) && plain(ext);
}

std::uint32_t EntriesForName(std::string_view utf8) {
    if (IsPlainShortName(utf8)) return 1;
    std::string why;
    const std::size_t units = ToLongName(utf8, why).size();
    return static_cast<std::uint32_t>((units + 12) / 13) + 1;
}

ShortName ShortNameBasis(std::u16string_view longName, bool& lossless) {
    ShortName out;
    out.fill(' ');
    lossless = true;
    // Leading dots and all spaces are dropped; the extension follows the last dot.
    std::size_t start = 0;
    while (start < longName.size() && longName[start] == u'.') ++start;
    if (start > 0) lossless = false;
    const std::size_t lastDot = longName.rfind(u'.');
    const bool hasExt = lastDot != std::u16string_view::npos && lastDot >= start;
    const std::u16string_view base = longName.substr(start, hasExt ? lastDot - start : std::u16string_view::npos);
    const std::u16string_view ext = hasExt ? longName.substr(lastDot + 1) : std::u16string_view{};

    auto copy = [&lossless](std::u16string_view part, std::uint8_t* dst, std::size_t room) {
        std::size_t n = 0;
        for (char16_t c : part) {
            if (c == u' ' || c == u'.') {
                lossless = false;
                continue;
            }
            char16_t u = UpperAscii(c);
            if (!IsShortNameChar(u)) {
                u = u'_';
                lossless = false;
            }
            if (n == room) {
                lossless = false;
                break;
            }
            dst[n++] = static_cast<std::uint8_t>(u);
        }
        return n;
    };
    if (copy(base, out.data(), 8) == 0) {
        out[0] = '_';
        lossless = false;
    }
    copy(ext, out.data() + 8, 3);
    return out;
}

ShortName WithNumericTail(const ShortName& basis, std::uint32_t n) {
    const std::string tail = "~" + std::to_string(n);
    std::size_t baseLen = 8;
    while (baseLen > 0 && basis[baseLen - 1] == ' ') --baseLen;
    const std::size_t keep = std::min(baseLen, 8 - tail.size());
    ShortName out = basis;
    std::copy(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(keep));
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(keep + tail.size()), out.begin() + 8, ' ');
    return out;
}

std::uint8_t ShortNameChecksum(const ShortName& name) {
    std::uint8_t sum = 0;
    for (std::uint8_t c : name) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
    return sum;
}

std::u16string FoldCase(std::u16string_view name) {
    // The C library's Unicode case table (a locale of its own, so the
    // program's locale does not matter). Without it only ASCII folds.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    std::u16string out(name);
    for (char16_t& c : out) {
        if (c < 0x80 || unicode == static_cast<locale_t>(nullptr)) {
            c = UpperAscii(c);
        } else if (c < 0xD800 || c >= 0xE000) {  // characters beyond the BMP stay as they are
            const wint_t upper = towupper_l(static_cast<wint_t>(c), unicode);
            if (upper <= 0xFFFF && (upper < 0xD800 || upper >= 0xE000)) c = static_cast<char16_t>(upper);
        }
    }
    return out;
}

}  // namespace kestrow::fat
