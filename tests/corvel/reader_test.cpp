// What the reader thread makes of each chunk it reads, without a port.
#include "corvel/core/library.h"
#include "corvel/core/chip_types.h"
#include "corvel/uart/uart_link.h"

#include <gtest/gtest.h>

#include <string>

using namespace corvel;
using namespace corvel::uart;

namespace {

constexpr unsigned kIndex = 3;

class Reader : public ::testing::Test {
protected:
    void SetUp() override {
        UartChannel& ch = Uart(kIndex);
        ch.promptWait = 0;
        ch.promptSeen = 0;
        ch.capture = 0;
        ch.ramTestWait = 0;
        ch.ramTestFound = 0;
        ch.echoWait = 0;
        ch.echoAck = 0;
        ch.frameReception = 0;
        ch.promptText.Clear();
        ch.frames.Clear();
    }
    void Chunk(const std::string& text) {
        ProcessChunk(kIndex, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    UartChannel& ch = Uart(kIndex);
};

TEST_F(Reader, PromptCountsOnlyWhenTheAccumulatedTextEndsWithIt) {
    Lib().chipType = SOC_FC_E1;
    ch.promptWait = 1;
    Chunk("boot\r\nQ4_UART_BO");
    EXPECT_EQ(ch.promptSeen.load(), 0u);
    Chunk("OT>#\r\n");  // the prompt, then more text
    EXPECT_EQ(ch.promptSeen.load(), 0u);
    Chunk("Q4_UART_BOOT>#");
    EXPECT_EQ(ch.promptSeen.load(), 1u);
    EXPECT_EQ(ch.promptWait.load(), 0u);
    EXPECT_EQ(ch.capture.load(), 1u);
}

TEST_F(Reader, EachChipTypeKnowsItsOwnPromptOnly) {
    struct Case {
        unsigned chip;
        const char* text;
        bool seen;
    } cases[] = {
        {6, "Q3D_UART_BOOT>#", true},       {7, "Q3B_UART_BOOT>#", true},
        {8, "Q4_UART_BOOT>#", true},        {9, "Q7_UART_BOOT>#", true},
        {9, "Q7_SecureUART_BOOT>#", true},  {10, "Q7L_UART_BOOT>#", true},
        {11, "Tarrow_UART_BOOT>#", true},   {8, "Q7L_UART_BOOT>#", false},
        {10, "Q7_UART_BOOT>#", false},      {5, "Q4_UART_BOOT>#", false},
    };
    for (const Case& c : cases) {
        SetUp();
        Lib().chipType = c.chip;
        ch.promptWait = 1;
        Chunk(c.text);
        EXPECT_EQ(ch.promptSeen.load(), c.seen ? 1u : 0u) << "chip " << c.chip << " text " << c.text;
    }
}

TEST_F(Reader, FloodOfTextBeforeThePromptIsBoundedAndThePromptStillSeen) {
    Lib().chipType = SOC_FC_E1;
    ch.promptWait = 1;
    std::string noise(5000, 'n');
    for (int i = 0; i < 10; ++i) Chunk(noise);
    EXPECT_LE(ch.promptText.Size(), kPromptBufferSize);
    Chunk("Q4_UART_BOOT>#");
    EXPECT_EQ(ch.promptSeen.load(), 1u);
}

TEST_F(Reader, RamTestMarkerSplitOverChunksAfterAFlood) {
    Lib().chipType = SOC_FA_V1;
    ch.ramTestWait = 1;
    ch.promptWait = 1;
    std::string noise(6000, 'r');
    for (int i = 0; i < 5; ++i) Chunk(noise);
    Chunk("Tarrow_UART_BOOT>#");  // the prompt is not looked at while the marker is awaited
    EXPECT_EQ(ch.promptSeen.load(), 0u);
    Chunk("REG32(8000");
    EXPECT_EQ(ch.ramTestFound.load(), 0u);
    Chunk("0000)=12345678\r\n");
    EXPECT_EQ(ch.ramTestFound.load(), 1u);
    EXPECT_EQ(ch.ramTestWait.load(), 0u);
}

TEST_F(Reader, EchoAcknowledgedUnlessTheReturnComesBackAsAnError) {
    struct Case {
        uint8_t expected;
        const char* chunk;
        unsigned ack;
        unsigned stillWaiting;
    } cases[] = {
        {'b', "b", 1, 0},
        {'\r', "\r\nQ4_UART_BOOT>#", 1, 0},
        {'\r', "\r\nErr Comm\r\n", 0, 0},
        {'x', "Err Comm x", 1, 0},  // only the carriage return can be refused
        {'b', "a", 0, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        ch.expectedEcho = c.expected;
        ch.echoWait = 1;
        Chunk(c.chunk);
        EXPECT_EQ(ch.echoAck.load(), c.ack) << c.chunk;
        EXPECT_EQ(ch.echoWait.load(), c.stillWaiting) << c.chunk;
    }
}

TEST_F(Reader, FramesAreParsedOnlyWhileAReplyIsExpected) {
    KW_Init(8, [](unsigned) { return 0; }, [](unsigned, unsigned) {});
    BurnObject& bo = Lib().channels[kIndex];
    bo.lastCommand = 2;  // a status command
    bo.retFlag = kNoReply;
    std::string frame = "<DA>" + std::string(16, '\0') + '\x01' + "</D>";
    Chunk(frame);
    EXPECT_EQ(bo.retFlag.load(), static_cast<int>(kNoReply));
    ch.frameReception = 1;
    Chunk(frame);
    EXPECT_EQ(bo.retFlag.load(), 1);
    EXPECT_TRUE(bo.replyEvent.WaitFor(std::chrono::milliseconds(0)));
}

}  // namespace
