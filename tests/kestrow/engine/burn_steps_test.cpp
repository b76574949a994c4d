// The burn sequence's table against the lines and status codes a burn must
// write and post, written out here by hand (numbers, not the named constants).
#include "kestrow/engine/burn_steps.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrow::engine {
namespace {

constexpr unsigned kNone = kNoStatus;

struct Expected {
    const char* step;
    StepLog log;
    const char* start_line;
    unsigned start_status;
    const char* failure_line;
    unsigned failure_status;
    const char* sequence_line;
};

// In the order a burn runs them.
const Expected kExpected[] = {
    {"burn medium", StepLog::Entry, nullptr, kNone, nullptr, 91, nullptr},
    {"start", StepLog::Entry, nullptr, 2, nullptr, kNone, nullptr},
    {"1k data", StepLog::Entry, "++Start download 1k data ++\r\n", 159, "download producer fail.\r\n", 160, nullptr},
    {"RAM", StepLog::Own, "++SetRamParam++\r\n", 7, "->SetRamParam fail.\r\n", 8, "Burn_SetRamParam fail\n"},
    {"producer", StepLog::Entry, "++Start download producer++\r\n", 63, "download producer fail.\r\n", 64, nullptr},
    {"baud switch", StepLog::Entry, nullptr, kNone, "Burn_Switch Uart COM fail.\r\n", 12, nullptr},
    {"producer start", StepLog::Entry, nullptr, kNone, nullptr, kNone, nullptr},
    {"connection test", StepLog::Own, "++test connetion++\r\n", 21, "->connetion fail!\r\n", 22,
     "Burn_TestPCAndProducerConnectOK fail.\r\n"},
    {"burned parameters", StepLog::Own, "++Set Burned Param++\r\n", kNone, "->Set Burned Param fail\r\n", 62,
     "Burn_SetBurnPara fail.\r\n"},
    {"burn mode", StepLog::Own, "++set mode++\r\n", 90, "->set mode fail!\r\n", 91, "Burn_SetBurnMode fail.\r\n"},
    {"SPI NOR flash", StepLog::OnFailure, nullptr, 43, nullptr, kNone, "burn_spiflash fail.\r\n"},
    {"SPI NAND parameters", StepLog::Own, "++KW_GetFlashID++\r\n", 43, nullptr, kNone,
     "Burn_GetFlashIDAndSetNandParam fail.\r\n"},
    {"security area", StepLog::Entry, "++init security area++\r\n", 97, "KW_InitSecArea fail!\r\n", 98, nullptr},
    {"SPI NAND boot loader", StepLog::OnFailure, nullptr, kNone, nullptr, kNone, "Burn_NandFlash_Uboot fail.\r\n"},
};

std::string Text(const char* s) { return s ? s : "(none)"; }

TEST(BurnSteps, SequenceWritesAndPostsWhatABurnMust) {
    ASSERT_EQ(kBurnSequence.size(), std::size(kExpected));
    for (std::size_t i = 0; i < kBurnSequence.size(); ++i) {
        const BurnStep& step = kBurnSequence[i];
        const Expected& e = kExpected[i];
        SCOPED_TRACE(e.step);
        EXPECT_EQ(static_cast<std::size_t>(step.id), i);  // the list is in the order of the ids
        EXPECT_EQ(step.log, e.log);
        EXPECT_EQ(Text(step.start_line), Text(e.start_line));
        EXPECT_EQ(step.start_status, e.start_status);
        EXPECT_EQ(Text(step.failure_line), Text(e.failure_line));
        EXPECT_EQ(step.failure_status, e.failure_status);
        EXPECT_EQ(Text(step.sequence_line), Text(e.sequence_line));
    }
}

TEST(BurnSteps, StartStatusesAreProgressAndFailureStatusesFailures) {
    for (const BurnStep& step : kBurnSequence) {
        SCOPED_TRACE(static_cast<int>(step.id));
        if (step.start_status != kNoStatus) {
            ASSERT_NE(FindStatus(step.start_status), nullptr);
            EXPECT_EQ(FindStatus(step.start_status)->kind, StatusKind::Progress);
        }
        if (step.failure_status != kNoStatus) {
            ASSERT_NE(FindStatus(step.failure_status), nullptr);
            EXPECT_EQ(FindStatus(step.failure_status)->kind, StatusKind::Failure);
        }
        // A step's start is logged as a line enclosed in "++".
        if (step.start_line) {
            EXPECT_EQ(std::string(step.start_line).substr(0, 2), "++");
        }
    }
}

}  // namespace
}  // namespace kestrow::engine
