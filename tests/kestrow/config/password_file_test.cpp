#include "kestrow/config/password_file.h"
#include "tests/kestrow/config/disk_full.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "kestrow/config/burn_config.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

namespace kestrow::config {
namespace {
namespace fs = std::filesystem;

class PasswordFileTest : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() /
                   ("kw_pw_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::string path = (dir / "password.cfg").string();
    void SetUp() override {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Read() const {
        std::string bytes;
        EXPECT_TRUE(ReadWholeFile(path, bytes));
        return bytes;
    }
    void Write(const std::string& bytes) const { std::ofstream(path, std::ios::binary) << bytes; }
};

TEST_F(PasswordFileTest, DefaultPasswordsAreWrittenScrambled) {
    ASSERT_TRUE(SavePasswordFile(path, kDefaultPassword, kDefaultPassword));
    const std::string bytes = Read();
    ASSERT_EQ(bytes.size(), 1024u);

    std::string plain(1024, '\0');
    for (std::size_t offset : {0u, 42u}) {
        const std::string q = "qelvo";
        for (std::size_t i = 0; i < q.size(); ++i) plain[offset + 2 * i] = q[i];
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned key = (i * (i + 5) + 1) % 256;
        ASSERT_EQ(static_cast<unsigned char>(bytes[i]), static_cast<unsigned char>(plain[i]) ^ key) << "byte " << i;
        if (key != 0) {
            EXPECT_NE(bytes[i], plain[i]) << "byte " << i;
        }
    }
}

TEST_F(PasswordFileTest, PasswordsReadBackAsWritten) {
    const std::pair<std::string, std::string> cases[] = {
        {"qelvo", "qelvo"},
        {"", "r&d-2026"},
        {"密码一二三", "😀x"},
        {"abcdefghijklmnopqrst", "12345678901234567890"},
    };
    for (const auto& [producer, researcher] : cases) {
        ASSERT_TRUE(SavePasswordFile(path, producer, researcher));
        std::string p = "unchanged", r = "unchanged";
        ASSERT_TRUE(LoadPasswordFile(path, p, r));
        EXPECT_EQ(p, producer);
        EXPECT_EQ(r, researcher);
    }
}

TEST_F(PasswordFileTest, BurnConfigKeepsItsPasswordsInTheStationFolder) {
    UseStationFolder(dir.string());
    BurnConfig saved;
    saved.producer_password = "line-7";
    saved.researcher_password = "lab";
    BurnConfig loaded;
    EXPECT_EQ(loaded.LoadPasswords(), 0);  // no file yet: the defaults stay
    EXPECT_EQ(loaded.producer_password, kDefaultPassword);
    ASSERT_EQ(saved.SavePasswords(), 1);
    EXPECT_TRUE(fs::exists(path));
    ASSERT_EQ(loaded.LoadPasswords(), 1);
    EXPECT_EQ(loaded.producer_password, "line-7");
    EXPECT_EQ(loaded.researcher_password, "lab");
}

TEST_F(PasswordFileTest, PasswordsAreCutToTwentyCharacters) {
    std::string twentyReplacements;
    for (int i = 0; i < 20; ++i) twentyReplacements += "\xEF\xBF\xBD";
    const struct {
        std::string typed;
        std::string stored;
    } cases[] = {
        {"abcdefghijklmnopqrstuvwxy", "abcdefghijklmnopqrst"},
        {"一二三四五六七八九十一二三四五六七八九十多余的字", "一二三四五六七八九十一二三四五六七八九十"},
        // A character outside 16 bits takes two units of the 20-unit field and is never split.
        {"0123456789012345678😀", "0123456789012345678"},
        {"😀😀😀😀😀😀😀😀😀😀😀", "😀😀😀😀😀😀😀😀😀😀"},
        // Broken UTF-8 cannot spill into the next field.
        {std::string(40, '\x80'), twentyReplacements},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CutPassword(c.typed), c.stored);
        ASSERT_TRUE(SavePasswordFile(path, c.typed, "other"));
        std::string p, r;
        ASSERT_TRUE(LoadPasswordFile(path, p, r));
        EXPECT_EQ(p, c.stored);
        EXPECT_EQ(r, "other");
    }
}

TEST_F(PasswordFileTest, MissingShortOrDamagedFiles) {
    ASSERT_TRUE(SavePasswordFile(path, "prod", "research"));
    const std::string good = Read();
    // A field with no terminator: plain bytes 0-41 all 'A' (UTF-16 "AAAA...").
    std::string unterminated = good;
    for (std::size_t i = 0; i < 42; i += 2) {
        unterminated[i] = static_cast<char>('A' ^ PasswordScrambleByte(i));
        unterminated[i + 1] = static_cast<char>(PasswordScrambleByte(i + 1));
    }
    const struct {
        const char* what;
        std::optional<std::string> bytes;  // nullopt: no file
        bool loads;
        std::string producer, researcher;
    } cases[] = {
        {"missing", std::nullopt, false, "keep", "keep"},
        {"empty", "", false, "keep", "keep"},
        {"83 bytes", good.substr(0, 83), false, "keep", "keep"},
        {"84 bytes", good.substr(0, 84), true, "prod", "research"},
        {"longer than 1024", good + "trailing", true, "prod", "research"},
        {"no terminator", unterminated, true, std::string(20, 'A'), "research"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path);
        if (c.bytes) Write(*c.bytes);
        std::string p = "keep", r = "keep";
        EXPECT_EQ(LoadPasswordFile(path, p, r), c.loads);
        EXPECT_EQ(p, c.producer);
        EXPECT_EQ(r, c.researcher);
    }
}

TEST_F(PasswordFileTest, FailedSaveKeepsThePreviousFile) {
    ASSERT_TRUE(SavePasswordFile(path, "old", "old"));
    {
        testing::DiskFullAfter full(512);  // the 1024-byte file does not fit
        EXPECT_FALSE(SavePasswordFile(path, "new", "new"));
    }
    std::string p, r;
    ASSERT_TRUE(LoadPasswordFile(path, p, r));
    EXPECT_EQ(p, "old");
    EXPECT_FALSE(SavePasswordFile((dir / "missing" / "password.cfg").string(), "a", "b"));
}

class ChangePasswordTest : public PasswordFileTest {
protected:
    LanguageTable texts{dir.string()};
    std::string producer = kDefaultPassword;
    std::string researcher = kDefaultPassword;
    void SetUp() override {
        PasswordFileTest::SetUp();
        texts.SetLanguage("");
    }
    PasswordChangeResult Change(const PasswordChangeRequest& request, bool saveWorks = true) {
        return ChangePassword(request, texts, producer, researcher,
                              [&] { return saveWorks && SavePasswordFile(path, producer, researcher); });
    }
};

TEST_F(ChangePasswordTest, OutcomesAndMessages) {
    const struct {
        const char* what;
        PasswordChangeRequest request;
        bool saveWorks;
        PasswordChangeOutcome outcome;
        std::string message;
        bool isError;
        std::string producer, researcher;
    } cases[] = {
        {"confirmation differs", {"Producer", "qelvo", "new1", "new2"}, true,
         PasswordChangeOutcome::ConfirmationMismatch, "Confirm Password Error!", true, "qelvo", "qelvo"},
        {"wrong old password", {"Producer", "qelvoX", "new", "new"}, true,
         PasswordChangeOutcome::WrongOldPassword, "Error Password!", true, "qelvo", "qelvo"},
        {"producer changed", {"Producer", "qelvo", "new", "new"}, true,
         PasswordChangeOutcome::Changed, "Modify Password Success", false, "new", "qelvo"},
        {"any other user is the researcher", {"Researcher", "qelvo", "r", "r"}, true,
         PasswordChangeOutcome::Changed, "Modify Password Success", false, "qelvo", "r"},
        {"same password stored again", {"Producer", "qelvo", "qelvo", "qelvo"}, true,
         PasswordChangeOutcome::Changed, "Modify Password Success", false, "qelvo", "qelvo"},
        {"save fails", {"Producer", "qelvo", "new", "new"}, false,
         PasswordChangeOutcome::StoreFailed, "Error In Storing Password!", true, "qelvo", "qelvo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        producer = researcher = kDefaultPassword;
        fs::remove(path);
        const PasswordChangeResult result = Change(c.request, c.saveWorks);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(result.isError, c.isError);
        EXPECT_EQ(producer, c.producer);
        EXPECT_EQ(researcher, c.researcher);
        std::string p, r;
        EXPECT_EQ(LoadPasswordFile(path, p, r), c.outcome == PasswordChangeOutcome::Changed);
        if (c.outcome == PasswordChangeOutcome::Changed) {
            EXPECT_EQ(p, producer);
            EXPECT_EQ(r, researcher);
        }
    }
}

TEST_F(ChangePasswordTest, LongPasswordIsStoredCutAndStillAcceptedInFull) {
    const std::string longPassword = "abcdefghijklmnopqrstuvwxy";
    ASSERT_EQ(Change({"Researcher", "qelvo", longPassword, longPassword}).outcome, PasswordChangeOutcome::Changed);
    EXPECT_EQ(researcher, "abcdefghijklmnopqrst");
    EXPECT_EQ(Change({"Researcher", longPassword, "short", "short"}).outcome, PasswordChangeOutcome::Changed);
    EXPECT_EQ(researcher, "short");
}

TEST_F(ChangePasswordTest, ProducerIsRecognisedInTheActiveLanguage) {
    ASSERT_TRUE(texts.LoadLanguage(LanguageTable::kChinese));
    EXPECT_EQ(Change({texts.GetString(43), "qelvo", "新密码", "新密码"}).message, texts.GetString(55));
    EXPECT_EQ(producer, "新密码");
    // The English name is just "another user" while Chinese is active.
    EXPECT_EQ(Change({"Producer", "新密码", "x", "x"}).outcome, PasswordChangeOutcome::WrongOldPassword);
}

}  // namespace
}  // namespace kestrow::config
