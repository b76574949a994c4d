#include "kestrow/fat/fat_names.h"

#include <gtest/gtest.h>

namespace kestrow::fat {
namespace {

std::string Text(const ShortName& s) { return std::string(s.begin(), s.end()); }

TEST(FatNames, ShortNameBasisAndWhetherItLosesText) {
    struct Case {
        const char16_t* longName;
        const char* basis;
        bool lossless;
    } cases[] = {
        {u"readme.txt", "README  TXT", true},
        {u"Makefile", "MAKEFILE   ", true},
        {u"longer than eight.txt", "LONGERTHTXT", false},
        {u"archive.tar.gz", "ARCHIVETGZ ", false},
        {u".profile", "PROFILE    ", false},
        {u"a+b.c", "A_B     C  ", false},
        {u"Übung.doc", "_BUNG   DOC", false},
        {u"x.json", "X       JSO", false},
    };
    for (const Case& c : cases) {
        bool lossless;
        EXPECT_EQ(Text(ShortNameBasis(c.longName, lossless)), c.basis);
        EXPECT_EQ(lossless, c.lossless) << c.basis;
    }
}

TEST(FatNames, NumericTailReplacesTheEndOfTheName) {
    bool lossless;
    const ShortName basis = ShortNameBasis(u"longer than eight.txt", lossless);
    EXPECT_EQ(Text(WithNumericTail(basis, 1)), "LONGER~1TXT");
    EXPECT_EQ(Text(WithNumericTail(basis, 12345)), "LO~12345TXT");
    EXPECT_EQ(Text(WithNumericTail(ShortNameBasis(u"ab.c", lossless), 7)), "AB~7    C  ");
}

TEST(FatNames, EntriesCountLongNamePiecesOnlyWhenNeeded) {
    EXPECT_EQ(EntriesForName("README.TXT"), 1u);
    EXPECT_EQ(EntriesForName("readme.txt"), 2u);
    EXPECT_EQ(EntriesForName("ABCDEFGHIJKLM"), 2u);   // 13 units: one piece
    EXPECT_EQ(EntriesForName("ABCDEFGHIJKLMN"), 3u);  // 14 units: two pieces
    EXPECT_EQ(EntriesForName("\xF0\x9F\x93\xB7"), 2u);  // one emoji, a surrogate pair
}

// Names that FAT takes for the same one: letter case is folded beyond ASCII.
TEST(FatNames, CaseFoldingReachesBeyondAscii) {
    struct Case {
        std::u16string name;
        std::u16string folded;
    };
    const Case cases[] = {
        {u"readme.txt", u"README.TXT"},
        {u"\u00E4.txt", u"\u00C4.TXT"},                  // ä
        {u"\u00FFber", u"\u0178BER"},                    // ÿ has its capital outside Latin-1
        {u"\u03C3\u0436", u"\u03A3\u0416"},               // Greek and Cyrillic
        {u"stra\u00DFe", u"STRA\u00DFE"},                // ß has no one-letter capital
        {u"\u65E5\u672C", u"\u65E5\u672C"},               // no case
        {std::u16string{0xD83D, 0xDE00}, std::u16string{0xD83D, 0xDE00}},  // beyond the BMP: kept
    };
    for (const Case& c : cases) EXPECT_EQ(FoldCase(c.name), c.folded);
}

}  // namespace
}  // namespace kestrow::fat
