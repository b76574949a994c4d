#include "kestrow/config/language_table.h"
#include "kestrow/engine/status_codes.h"
#include "expected_statuses.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrow::engine {
namespace {

TEST(StatusTable, CodesAreUniqueAndEveryShownCodeHasAText) {
    std::set<unsigned> seen;
    for (const StatusInfo& s : kStatusTable) {
        EXPECT_TRUE(seen.insert(s.code).second) << "duplicate code " << s.code;
        EXPECT_LE(s.code, 160u);
        EXPECT_EQ(FindStatus(s.code), &s);
        if (s.code == status::kRefreshList) continue;  // the one code without a text
        ASSERT_GE(s.text, 0) << s.code;
        EXPECT_LT(static_cast<std::size_t>(s.text), config::kLanguageEntryCount) << s.code;
        EXPECT_FALSE(config::BuiltinEnglishTexts()[static_cast<std::size_t>(s.text)].empty()) << s.code;
        if (s.nand_text != kNoText) {
            EXPECT_LT(static_cast<std::size_t>(s.nand_text), config::kLanguageEntryCount) << s.code;
        }
    }
    EXPECT_EQ(FindStatus(1), nullptr);
    EXPECT_EQ(FindStatus(161), nullptr);
}

TEST(StatusTable, EveryCodeHasItsKindAndEnglishText) {
    auto english = [](int index) {
        return std::string(config::BuiltinEnglishTexts()[static_cast<std::size_t>(index)]);
    };
    for (const testing::ExpectedStatus& e : testing::kExpectedStatuses) {
        SCOPED_TRACE(e.code);
        const StatusInfo* info = FindStatus(e.code);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->kind, e.kind);
        if (*e.nor_text == '\0') {
            EXPECT_EQ(info->text, kNoText);
            continue;
        }
        EXPECT_EQ(english(StatusTextIndex(*info, config::kModeSpiNor)), e.nor_text);
        EXPECT_EQ(english(StatusTextIndex(*info, config::kModeSpiNand)), e.nand_text);
    }
    EXPECT_EQ(kStatusTable.size(), testing::kExpectedStatuses.size());  // and no code besides
}

TEST(StatusTable, ExactlyOneSuccessAndTwoCommands) {
    int success = 0, commands = 0;
    for (const StatusInfo& s : kStatusTable) {
        success += s.kind == StatusKind::Success;
        commands += s.kind == StatusKind::Command;
    }
    EXPECT_EQ(success, 1);
    EXPECT_EQ(commands, 2);
}

TEST(MediumCode, FollowsChipModeAndRefusesModesWithoutMedium) {
    struct Case {
        int chip_mode;
        std::optional<std::uint8_t> medium;
        bool nor_path;
    } cases[] = {{0, 0, false}, {1, 1, true}, {2, 2, false}, {3, std::nullopt, false}, {4, std::nullopt, false},
                 {5, 5, false}, {6, 3, true},  {7, 6, true},  {8, std::nullopt, false}, {-1, std::nullopt, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(MediumCode(c.chip_mode), c.medium) << c.chip_mode;
        if (c.medium) {
            EXPECT_EQ(IsSpiNorMedium(*c.medium), c.nor_path) << c.chip_mode;
        }
    }
}

TEST(StatusText, FlashIdCodesShowTheNorTextOnlyForMediumOne) {
    const StatusInfo& id = *FindStatus(status::kFlashId);
    EXPECT_EQ(StatusTextIndex(id, 1), 89);  // "Begin to get SPI NOR Flash chip ID"
    for (int mode : {0, 5, 6, 7}) EXPECT_EQ(StatusTextIndex(id, mode), 83) << mode;
    EXPECT_EQ(StatusTextIndex(*FindStatus(status::kFlashParamFailed), 1), 92);
    EXPECT_EQ(StatusTextIndex(*FindStatus(status::kFlashParamFailed), 5), 86);
    EXPECT_EQ(StatusTextIndex(*FindStatus(status::kCompletion), 5), 67);
}

}  // namespace
}  // namespace kestrow::engine
