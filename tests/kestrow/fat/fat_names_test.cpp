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

}  // namespace
}  // namespace kestrow::fat
