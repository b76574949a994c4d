// The one UTF-8 / UTF-16 converter: the same broken input gives U+FFFD where
// a caller reads on, and no result where a caller refuses it.
#include "kestrow/base/unicode.h"

#include <gtest/gtest.h>

namespace kestrow::base {
namespace {

TEST(Unicode, BrokenUtf8IsReplacedOrRefusedByPolicy) {
    struct Case {
        const char* what;
        std::string utf8;
        std::u16string replaced;
        bool refused;
    };
    const Case cases[] = {
        {"plain, wide and beyond the BMP", "A\xE4\xB8\xAD\xF0\x9F\x98\x80", u"A\u4E2D\U0001F600", false},
        {"overlong slash", "a\xC0\xAF", u"a\uFFFD\uFFFD", true},
        {"cut three-byte sequence", "b\xE4", u"b\uFFFD", true},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD", true},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD", true},
        {"F8 lead byte", "\xF8\x80", u"\uFFFD\uFFFD", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Utf8ToUtf16(c.utf8, Malformed::Replace), c.replaced);
        EXPECT_EQ(Utf8ToUtf16(c.utf8, Malformed::Refuse).has_value(), !c.refused);
    }
    const std::u16string lone{u'x', 0xDC00};
    EXPECT_EQ(Utf16ToUtf8(lone, Malformed::Replace), "x\xEF\xBF\xBD");
    EXPECT_FALSE(Utf16ToUtf8(lone, Malformed::Refuse).has_value());
    EXPECT_EQ(CountCodePoints("A\xE4\xB8\xAD\xF0\x9F\x98\x80\xFF"), 4u);
}

TEST(Unicode, BothByteOrdersAndAnOddLastByte) {
    const std::u16string units{u'A', 0x4E2D};
    EXPECT_EQ(EncodeUtf16(units, ByteOrder::Little), std::string("A\0\x2D\x4E", 4));
    EXPECT_EQ(EncodeUtf16(units, ByteOrder::Big), std::string("\0A\x4E\x2D", 4));
    EXPECT_EQ(DecodeUtf16(std::string("\0A\x4E\x2D\x01", 5), ByteOrder::Big), units);
    EXPECT_EQ(DecodeUtf16(std::string("A\0\x2D\x4E", 4), ByteOrder::Little), units);
}

}  // namespace
}  // namespace kestrow::base
