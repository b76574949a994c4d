#include "kestrow/config/file_io.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/text_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>

#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"

namespace kestrow::config {
namespace {
namespace fs = std::filesystem;

std::vector<std::string> Table(std::span<const std::string_view, kLanguageEntryCount> texts) {
    return {texts.begin(), texts.end()};
}

// printf conversions and menu mnemonics: both must survive translation unchanged.
std::vector<std::string> Placeholders(const std::string& text) {
    static const std::regex pattern(R"(%[-+ #0]*[0-9*]*(\.[0-9*]+)?(hh|h|ll|l|L|z|j|t)?[diouxXeEfFgGaAcspn%]|&[^&\s])");
    std::vector<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) found.push_back(it->str());
    return found;
}

TEST(BuiltinLanguageTexts, ChineseTranslatesEveryEnglishEntryKeepingPlaceholders) {
    const auto en = BuiltinEnglishTexts();
    const auto zh = BuiltinChineseTexts();
    ASSERT_EQ(en.size(), 379u);
    ASSERT_EQ(zh.size(), 379u);
    for (std::size_t i = 0; i < kLanguageEntryCount; ++i) {
        const std::string e(en[i]), z(zh[i]);
        SCOPED_TRACE("entry " + std::to_string(i) + ": " + e);
        EXPECT_EQ(e.empty(), z.empty());
        EXPECT_EQ(Placeholders(e), Placeholders(z));
        // A language file has no escape for a double quote, so no entry may hold one.
        EXPECT_EQ(e.find('"'), std::string::npos);
        EXPECT_EQ(z.find('"'), std::string::npos);
    }
}

TEST(BuiltinLanguageTexts, EntriesNamedByTheRestOfTheProgramSitAtTheirIndex) {
    const struct {
        std::size_t index;
        const char* text;
    } cases[] = {
        {0, "Morvo_Uart_Kestrow"},
        {43, "Producer"},
        {44, "Researcher"},
        {53, "Error Password!"},
        {54, "Confirm Password Error!"},
        {55, "Modify Password Success"},
        {56, "Ready"},
        {60, "Failed  to set RAM parameter"},
        {67, "Completion"},
        {88, "Failed to send the extended parameter or set boot partition size"},
        {101, "Project Name: "},
        {158, "Update Mode"},
        {276, "Success!Current MAC address have been reset, current value equals to start value!"},
        {314, "Process is running, close it or not?"},
        {374, "COM"},
        {378, "Failed to download 1k signature verification data"},
    };
    for (const auto& c : cases) EXPECT_EQ(BuiltinEnglishTexts()[c.index], c.text) << "entry " << c.index;
}

TEST(AddedTexts, InEnumOrderInBothLanguagesAndFollowTheActiveLanguage) {
    const auto added = AddedTexts();
    for (std::size_t i = 0; i < added.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(added[i].id), i);
        EXPECT_FALSE(added[i].english.empty()) << i;
        EXPECT_FALSE(added[i].chinese.empty()) << i;
        EXPECT_EQ(added[i].english.find("%s") == std::string_view::npos,
                  added[i].chinese.find("%s") == std::string_view::npos)
            << i;
    }
    const std::string station = (fs::temp_directory_path() / ("kw_added_" + std::to_string(::getpid()))).string();
    fs::create_directories(station);
    LanguageTable table(station);
    EXPECT_EQ(table.GetAddedText(AddedText::Hardware), "&Hardware");
    table.SetLanguage("中文");
    EXPECT_EQ(table.GetAddedText(AddedText::Hardware), "硬件(&H)");
    EXPECT_EQ(table.GetString(379), "");  // the 379 entries end where they always have
    fs::remove_all(station);
}

TEST(Utf16Text, ConvertsBothWaysAndReplacesBrokenSequences) {
    EXPECT_EQ(Utf8ToUtf16("A中😀"), (std::u16string{u'A', 0x4E2D, 0xD83D, 0xDE00}));
    EXPECT_EQ(Utf16ToUtf8(u"A中😀"), "A中😀");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf8ToUtf16("a\xC0\xAF" "b\xE4"), (std::u16string{u'a', 0xFFFD, 0xFFFD, u'b', 0xFFFD}));
    // F8 to FF begin no UTF-8 sequence: each byte here is broken on its own.
    EXPECT_EQ(Utf8ToUtf16("\xF8\x80\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD}));
    EXPECT_EQ(CountCharacters("A中😀"), 3u);
}

class LanguageTableTest : public ::testing::Test {
protected:
    fs::path station = fs::temp_directory_path() /
                       ("kw_lang_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::path lang = station / "Lang";
    void SetUp() override {
        fs::remove_all(station);
        fs::create_directories(lang);
    }
    void TearDown() override { fs::remove_all(station); }

    static std::string Read(const fs::path& path) {
        std::string bytes;
        EXPECT_TRUE(ReadWholeFile(path.string(), bytes)) << path;
        return bytes;
    }
    static void Write(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // A complete language file whose entry i reads "<tag> i".
    static std::string TaggedFile(const std::string& tag) {
        std::vector<std::string> entries;
        for (std::size_t i = 0; i < kLanguageEntryCount; ++i) entries.push_back(tag + " " + std::to_string(i));
        return FormatLanguageFile(entries);
    }
};

TEST_F(LanguageTableTest, LanguageFileIsUtf16LeWithBomAndCrLf) {
    const std::string bytes = FormatLanguageFile({"Ready", "中"});
    const std::string expected("\xFF\xFE"
                               "L\0a\0n\0g\0{\0\r\0\n\0"
                               "\"\0R\0e\0a\0d\0y\0\"\0,\0\r\0\n\0"
                               "\"\0\x2D\x4E\"\0,\0\r\0\n\0"
                               "}\0\r\0\n\0",
                               2 + 2 * (7 + 10 + 6 + 3));
    EXPECT_EQ(bytes, expected);
}

TEST_F(LanguageTableTest, SavedTableReadsBackEntryForEntry) {
    LanguageTable table(station.string());
    table.SetLanguage("中文");
    ASSERT_TRUE(table.SaveCurrentLanguageFile()) << table.LastError();

    std::vector<std::string> entries;
    std::string error;
    ASSERT_TRUE(ParseLanguageFile((lang / "中文.txt").string(), entries, error)) << error;
    EXPECT_EQ(entries, Table(BuiltinChineseTexts()));
}

TEST_F(LanguageTableTest, NextStartReadsTheLanguageFromItsFile) {
    LanguageTable first(station.string());
    first.SetLanguage("");
    ASSERT_TRUE(first.SaveCurrentLanguageFile());
    ASSERT_EQ(Read(lang / "English.txt"), FormatLanguageFile(Table(BuiltinEnglishTexts())));

    // An edited English file is what the next start shows.
    Write(lang / "English.txt", TaggedFile("edited"));
    LanguageTable next(station.string());
    next.SetLanguage("English");
    EXPECT_EQ(next.CurrentLanguage(), LanguageTable::kEnglish);
    EXPECT_EQ(next.GetString(56), "edited 56");
}

TEST_F(LanguageTableTest, SaveNeverOverwritesAnExistingFile) {
    Write(lang / "english.TXT", TaggedFile("mine"));
    LanguageTable table(station.string());
    table.SetLanguage("English");
    fs::remove(lang / "english.TXT");
    Write(lang / "ENGLISH.txt", "keep me");
    EXPECT_TRUE(table.SaveCurrentLanguageFile());
    EXPECT_EQ(Read(lang / "ENGLISH.txt"), "keep me");
    EXPECT_FALSE(fs::exists(lang / "English.txt"));
}

TEST_F(LanguageTableTest, SaveCreatesTheLangFolder) {
    fs::remove_all(lang);
    LanguageTable table(station.string());
    EXPECT_FALSE(table.SaveCurrentLanguageFile());  // nothing loaded yet
    table.SetLanguage("");
    ASSERT_TRUE(table.SaveCurrentLanguageFile()) << table.LastError();
    EXPECT_TRUE(fs::exists(lang / "English.txt"));
}

TEST_F(LanguageTableTest, SetLanguageListsFilesAndPicksTheNamedOne) {
    Write(lang / "Deutsch.txt", TaggedFile("de"));
    Write(lang / "Français.v2.TXT", TaggedFile("fr"));
    Write(lang / "English.txt", TaggedFile("en"));
    Write(lang / "notes.md", "not a language");
    fs::create_directories(lang / "sub");

    const struct {
        std::string name;
        int index;
        std::string entry56;
    } cases[] = {
        {"", LanguageTable::kEnglish, "en 56"},
        {"Klingon", LanguageTable::kEnglish, "en 56"},
        {"中文", LanguageTable::kChinese, std::string(BuiltinChineseTexts()[56])},
        {"Deutsch", 2, "de 56"},
        // Listed by its base name, but "Lang/Français.txt" does not exist: built-in English.
        {"Français", LanguageTable::kEnglish, "Ready"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LanguageTable table(station.string());
        table.SetLanguage(c.name);
        EXPECT_THAT(table.LanguageNames(), ::testing::ElementsAre("中文", "English", "Deutsch", "Français"));
        EXPECT_EQ(table.CurrentLanguage(), c.index);
        EXPECT_EQ(table.GetString(56), c.entry56);
    }
}

TEST_F(LanguageTableTest, LangFolderAndFileNamesIgnoreCase) {
    fs::remove_all(lang);
    fs::create_directories(station / "lang");
    Write(station / "lang" / "DEUTSCH.TXT", TaggedFile("de"));
    LanguageTable table(station.string());
    table.SetLanguage("DEUTSCH");
    EXPECT_EQ(table.CurrentLanguageName(), "DEUTSCH");
    EXPECT_EQ(table.GetString(1), "de 1");
}

TEST_F(LanguageTableTest, LoadLanguageRefusesTheActiveOrUnknownIndexAndKeepsTheTable) {
    Write(lang / "Deutsch.txt", TaggedFile("de"));
    LanguageTable table(station.string());
    table.SetLanguage("Deutsch");
    fs::remove(lang / "Deutsch.txt");
    Write(lang / "Zulu.txt", TaggedFile("zu"));  // appears only at the next SetLanguage

    EXPECT_FALSE(table.LoadLanguage(2));   // already active
    EXPECT_FALSE(table.LoadLanguage(3));   // not listed
    EXPECT_FALSE(table.LoadLanguage(-1));
    EXPECT_TRUE(table.LoadLanguage(LanguageTable::kChinese));
    EXPECT_EQ(table.GetString(56), BuiltinChineseTexts()[56]);
    EXPECT_FALSE(table.LoadLanguage(2));  // its file is gone
    EXPECT_FALSE(table.LastError().empty());
    EXPECT_EQ(table.CurrentLanguage(), LanguageTable::kChinese);
    EXPECT_EQ(table.GetString(56), BuiltinChineseTexts()[56]);
}

TEST_F(LanguageTableTest, GetStringIsEmptyBeyondTheTableOrBeforeLoading) {
    LanguageTable table(station.string());
    EXPECT_EQ(table.GetString(0), "");
    table.SetLanguage("");
    EXPECT_EQ(table.GetString(378), BuiltinEnglishTexts()[378]);
    EXPECT_EQ(table.GetString(379), "");
    EXPECT_EQ(table.GetString(static_cast<std::size_t>(-1)), "");
}

TEST_F(LanguageTableTest, DamagedFilesAreRefusedWholeWithAReason) {
    const std::string good = TaggedFile("ok");
    const std::string bom = "\xFF\xFE";
    std::vector<std::string> fewer(kLanguageEntryCount - 1, "x");
    const struct {
        const char* what;
        std::string bytes;
        bool loads;
    } cases[] = {
        {"empty file", "", false},
        {"only a byte-order mark", bom, false},
        {"378 entries", FormatLanguageFile(fewer), false},
        {"cut inside the last entry", good.substr(0, good.size() - 16), false},
        {"cut after the last quote", good.substr(0, good.size() - 10), true},
        {"odd trailing byte", good + "\x01", true},
        {"no byte-order mark", good.substr(2), true},
        {"entries beyond 379", good + FormatLanguageFile({"extra"}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Write(lang / "Deutsch.txt", c.bytes);
        LanguageTable table(station.string());
        table.SetLanguage("Deutsch");
        EXPECT_EQ(table.CurrentLanguageName(), c.loads ? "Deutsch" : "English");
        EXPECT_EQ(table.GetString(378), c.loads ? "ok 378" : std::string(BuiltinEnglishTexts()[378]));
        EXPECT_EQ(table.GetString(0), c.loads ? "ok 0" : std::string(BuiltinEnglishTexts()[0]));
        if (!c.loads) {
            EXPECT_FALSE(table.LoadLanguageFile((lang / "Deutsch.txt").string()));
            EXPECT_THAT(table.LastError(), ::testing::HasSubstr("Deutsch.txt"));
            EXPECT_EQ(table.GetString(0), BuiltinEnglishTexts()[0]);  // the table stays whole
        }
    }
}

TEST_F(LanguageTableTest, DamagedBuiltinLanguageFileFallsBackToTheBuiltinTable) {
    Write(lang / "中文.txt", FormatLanguageFile({"只有一条"}));
    LanguageTable table(station.string());
    table.SetLanguage("中文");
    EXPECT_EQ(table.CurrentLanguage(), LanguageTable::kChinese);
    EXPECT_EQ(table.GetString(56), BuiltinChineseTexts()[56]);
    EXPECT_THAT(table.LastError(), ::testing::HasSubstr("1 of 379"));
}

TEST_F(LanguageTableTest, ChoiceIsRememberedInBurnIni) {
    Write(lang / "Deutsch.txt", TaggedFile("de"));
    LanguageTable table(station.string());
    table.SetLanguageFromBurnIni();  // no burn.ini yet: English
    EXPECT_EQ(table.CurrentLanguageName(), "English");
    ASSERT_TRUE(table.LoadLanguage(2));
    EXPECT_EQ(table.RememberedLanguage(), "Deutsch");
    ASSERT_TRUE(WriteProfileString((station / "burn.ini").string(), "Lang", "Lang", table.RememberedLanguage()));

    LanguageTable next(station.string());
    next.SetLanguageFromBurnIni();
    EXPECT_EQ(next.GetString(7), "de 7");
}

// A language that cannot be loaded leaves English on screen, says why, and
// stays the choice burn.ini keeps until the operator picks another.
TEST_F(LanguageTableTest, RefusedLanguageIsToldAndStaysRemembered) {
    struct Case {
        const char* what;
        std::optional<std::string> file;  // Lang/Deutsch.txt
        const char* error;
    };
    const Case cases[] = {
        {"broken file", FormatLanguageFile({"nur eins"}), "1 of 379"},
        {"no file", std::nullopt, "no language file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(lang / "Deutsch.txt");
        if (c.file) Write(lang / "Deutsch.txt", *c.file);
        LanguageTable table(station.string());
        table.SetLanguage("Deutsch");
        EXPECT_EQ(table.CurrentLanguageName(), "English");
        EXPECT_THAT(table.LastError(), ::testing::HasSubstr(c.error));
        EXPECT_EQ(table.RememberedLanguage(), "Deutsch");
        ASSERT_TRUE(table.LoadLanguage(LanguageTable::kChinese));
        EXPECT_EQ(table.RememberedLanguage(), "中文");
    }
    LanguageTable plain(station.string());
    plain.SetLanguage("");
    EXPECT_EQ(plain.RememberedLanguage(), "English");
    EXPECT_EQ(plain.LastError(), "");
}

TEST_F(LanguageTableTest, WithoutAFolderTheStationFolderChosenLaterIsUsed) {
    LanguageTable table;  // created before the station is chosen, as a global would be
    UseStationFolder(station.string());
    table.SetLanguage("");
    ASSERT_TRUE(table.SaveCurrentLanguageFile()) << table.LastError();
    EXPECT_TRUE(fs::exists(lang / "English.txt"));
}

}  // namespace
}  // namespace kestrow::config
