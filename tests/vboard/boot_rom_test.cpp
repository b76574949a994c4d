// The virtual boot ROM: it must hold the host to the protocol, not just answer.
#include "tools/vboard/boot_rom.h"

#include <gtest/gtest.h>

#include <string>

using vboard::BootRom;
using vboard::BoardOptions;
using vboard::Fault;

namespace {

std::string Send(BootRom& rom, const std::string& bytes) {
    std::string out;
    rom.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
    return out;
}

BootRom Rom(unsigned chip, bool secure = false, std::vector<Fault> faults = {}) {
    BoardOptions options;
    options.chipType = chip;
    options.secure = secure;
    options.faults = faults;
    return BootRom(options);
}

TEST(BootRom, WakesOnlyOnItsOwnWakeSequence) {
    struct Case {
        unsigned chip;
        bool secure;
        const char* wrongWake;
        const char* wake;
        const char* prompt;
    } cases[] = {
        {6, false, "kkk", "qm\r", "Q3D_UART_BOOT>#"},
        {8, false, "qm\r", "kkk", "Q4_UART_BOOT>#"},
        {9, true, "kkk", "sss", "Q7_SecureUART_BOOT>#"},
        {11, false, "sss", "kkk", "Tarrow_UART_BOOT>#"},
    };
    for (const Case& c : cases) {
        BootRom rom = Rom(c.chip, c.secure);
        EXPECT_EQ(Send(rom, c.wrongWake), "") << c.chip;
        EXPECT_FALSE(rom.Awake());
        std::string answer = Send(rom, c.wake);
        EXPECT_TRUE(answer.ends_with(c.prompt)) << c.chip << ": " << answer;
        EXPECT_TRUE(rom.Awake());
    }
}

TEST(BootRom, SecureRomWithoutWakeAnnouncesItselfUntilTheHostSpeaks) {
    BootRom rom = Rom(8, true);
    std::string out;
    rom.Tick(out);
    EXPECT_TRUE(out.ends_with("Q4_UART_BOOT>#"));
    Send(rom, "\r");
    out.clear();
    rom.Tick(out);
    EXPECT_EQ(out, "");
}

TEST(BootRom, EchoesCommandsAndAppliesRegistersAndBaudRate) {
    BootRom rom = Rom(8);
    Send(rom, "kkk");
    EXPECT_EQ(Send(rom, "s"), "s");
    Send(rom, "etvalue\r080000e8\raa000000\r");
    EXPECT_EQ(rom.Registers().at("080000e8"), "aa000000");
    Send(rom, "baudrate\r");
    EXPECT_EQ(rom.Baud(), 115200u);
    Send(rom, "3");
    EXPECT_EQ(rom.Baud(), 115200u);  // switches only on the carriage return
    Send(rom, "\r");
    EXPECT_EQ(rom.Baud(), 2000000u);
    EXPECT_EQ(rom.Lines(), (std::vector<std::string>{"setvalue", "080000e8", "aa000000", "baudrate"}));
}

TEST(BootRom, UnknownCommandsAndTheErrCommFaultAnswerTheReturnWithAnError) {
    BootRom plain = Rom(8);
    Send(plain, "kkk");
    EXPECT_NE(Send(plain, "bogus\r").find("Err Comm"), std::string::npos);
    BootRom faulty = Rom(8, false, {Fault::ErrComm});
    Send(faulty, "kkk");
    EXPECT_EQ(Send(faulty, "baudrate"), "baudrate");
    EXPECT_NE(Send(faulty, "\r").find("Err Comm"), std::string::npos);
    EXPECT_EQ(faulty.Baud(), 115200u);
}

}  // namespace
