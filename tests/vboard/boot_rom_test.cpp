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

namespace {

// The boot ROM's upload format: length, bytes, 16-bit byte sum.
std::string UploadOf(const std::string& file, int checksumError = 0) {
    uint32_t length = static_cast<uint32_t>(file.size() + 6);
    uint32_t sum = checksumError;
    for (unsigned char c : file) sum += c;
    std::string out;
    for (int i = 0; i < 4; ++i) out += static_cast<char>(length >> (8 * i));
    return out + file + static_cast<char>(sum) + static_cast<char>(sum >> 8);
}

TEST(BootRom, UploadIsCheckedAndGoStartsTheProducerMidRead) {
    BootRom rom = Rom(8);
    Send(rom, "kkk");
    std::string producer(100, 'p');
    Send(rom, "download\r\r" + UploadOf(producer, 1));
    ASSERT_EQ(rom.Uploads().size(), 1u);
    EXPECT_FALSE(rom.Uploads()[0].valid);
    EXPECT_NE(Send(rom, "go\r").find("Err Comm"), std::string::npos);  // refused at the go line itself
    Send(rom, "\r");
    EXPECT_EQ(rom.RunningProducer(), nullptr);

    Send(rom, "download\r\r" + UploadOf(producer));
    EXPECT_TRUE(rom.Uploads()[1].valid);
    // The first command block arrives in the same read as the go's last return.
    std::string block(31, '\0');
    block[16] = 2;
    block[20] = 75;
    block[24] = 87;
    std::string answer = Send(rom, "go\r\r" + block);
    ASSERT_NE(rom.RunningProducer(), nullptr);
    ASSERT_EQ(rom.RunningProducer()->Commands().size(), 1u);
    EXPECT_NE(answer.find("<DA>"), std::string::npos);
}

TEST(BootRom, BadChecksumFaultRefusesAGoodUpload) {
    BootRom rom = Rom(8, false, {Fault::BadChecksum});
    Send(rom, "kkk");
    EXPECT_NE(Send(rom, "download\r\r" + UploadOf(std::string(100, 'p'))).find("checksum error"), std::string::npos);
    ASSERT_EQ(rom.Uploads().size(), 1u);
    EXPECT_FALSE(rom.Uploads()[0].valid);
}

TEST(BootRom, RamTestOfChipType11ReportsWhetherTheRamHeld) {
    for (bool badRam : {false, true}) {
        BootRom rom = Rom(11, false, badRam ? std::vector<Fault>{Fault::BadRam} : std::vector<Fault>{});
        Send(rom, "kkk");
        Send(rom, "download\rd2800100\r" + UploadOf(std::string(300, 'r')));
        std::string report = Send(rom, "go\rd2800100\r");
        EXPECT_EQ(report.find("REG32(80000000)=12345678") != std::string::npos, !badRam) << report;
        EXPECT_TRUE(report.ends_with("Tarrow_UART_BOOT>#")) << report;  // back in the ROM either way
    }
}

// A board that answers one burn only: woken before its burn it prompts as
// often as it is woken; once the host began loading it, waking gets nothing.
TEST(BootRom, OneBurnBoardDoesNotWakeAgainOnceItsBurnBegan) {
    struct Case {
        unsigned chip;
        const char* wake;
        const char* prompt;
        std::string firstLoad;
    } cases[] = {
        {8, "kkk", "Q4_UART_BOOT>#", "draminit\r" + std::string("\x88\x88\x88\x88")},
        {6, "qm\r", "Q3D_UART_BOOT>#", "download\r\r" + UploadOf(std::string(100, 'p'), 1)},
    };
    for (const Case& c : cases) {
        for (bool oneBurn : {false, true}) {
            SCOPED_TRACE(std::to_string(c.chip) + (oneBurn ? " one burn" : " any number of burns"));
            BoardOptions options;
            options.chipType = c.chip;
            options.oneBurn = oneBurn;
            BootRom rom(options);
            EXPECT_TRUE(Send(rom, c.wake).ends_with(c.prompt));
            EXPECT_TRUE(Send(rom, c.wake).ends_with(c.prompt));
            Send(rom, c.firstLoad);
            EXPECT_EQ(Send(rom, c.wake).ends_with(c.prompt), !oneBurn);
        }
    }
}

// The boot ROM talks at its selector rate; the producer it starts talks at the
// link rate the host patched in at offset 52, or stays at the ROM's rate when
// it is a secure one, which is not patched.
TEST(BootRom, ProducerTakesTheLinkRateFromItsPatchedWord) {
    struct Case {
        bool secure;
        char selector;
        uint32_t linkBaud;
        unsigned romBaud, producerBaud;
    } cases[] = {
        {false, '2', 921600, 1000000, 921600},
        {false, '3', 6000000, 2000000, 6000000},
        {false, '1', 115200, 115200, 115200},
        {true, '2', 921600, 1000000, 1000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.linkBaud);
        BootRom rom = Rom(9, c.secure);
        Send(rom, c.secure ? "sss" : "kkk");
        Send(rom, std::string("baudrate\r") + c.selector + "\r");
        EXPECT_EQ(rom.Baud(), c.romBaud);
        std::string producer(100, '\0');
        for (int i = 0; i < 4; ++i) producer[52 + i] = static_cast<char>(c.linkBaud >> (8 * i));
        const std::string down = c.secure ? "securedown" : "download", go = c.secure ? "securego" : "go";
        Send(rom, down + "\r\r" + UploadOf(producer));
        Send(rom, go + "\r\r");
        ASSERT_NE(rom.RunningProducer(), nullptr);
        EXPECT_EQ(rom.Baud(), c.producerBaud);
    }
}

TEST(BootRom, SecureRomRefusesThePlainDownload) {
    BootRom rom = Rom(9, true);
    Send(rom, "sss");
    EXPECT_NE(Send(rom, "download\r").find("Err Comm"), std::string::npos);
    Send(rom, "securedown\r\r" + UploadOf("abc"));
    ASSERT_EQ(rom.Uploads().size(), 1u);
    EXPECT_TRUE(rom.Uploads()[0].valid);
}

TEST(BootRom, DdrTableEndsAtItsMarker) {
    BootRom rom = Rom(8);
    Send(rom, "kkk");
    std::string words = "draminit\r";
    for (uint32_t w : {0x08000010u, 0x11u, 0x88888888u}) {
        for (int i = 0; i < 4; ++i) words += static_cast<char>(w >> (8 * i));
    }
    std::string answer = Send(rom, words);
    EXPECT_TRUE(answer.ends_with(rom.Prompt()));
    EXPECT_EQ(rom.RamPairs(), (std::vector<std::pair<uint32_t, uint32_t>>{{0x08000010, 0x11}}));
}

}  // namespace

namespace {

std::string Block(uint8_t code, uint32_t length) {
    std::string block(31, '\0');
    for (int i = 0; i < 4; ++i) block[8 + i] = static_cast<char>(length >> (8 * i));
    block[12] = length ? 2 : 0;
    block[16] = static_cast<char>(code);
    return block;
}

// Status byte of each framed reply in `answer`.
std::vector<int> Statuses(const std::string& answer) {
    std::vector<int> statuses;
    for (size_t at = answer.find("<DA>"); at != std::string::npos; at = answer.find("<DA>", at + 1))
        statuses.push_back(answer[at + 4 + 16]);
    return statuses;
}

TEST(Producer, NandProgramsPageByPageOnlyAfterItsParameters) {
    BoardOptions options;
    options.nand = true;
    vboard::Producer producer(options, 921600);
    auto send = [&](const std::string& bytes) {
        std::string out;
        producer.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
        return Statuses(out);
    };
    std::string params(40, '\0');
    EXPECT_EQ(send(Block(12, 40) + params), std::vector<int>{1});
    EXPECT_EQ(send(Block(13, 512) + std::string(512, 'a')), std::vector<int>{0});  // no page size yet
    std::string nand(36, '\0');
    nand[4] = 0x00;
    nand[5] = 0x08;  // 2048-byte pages
    EXPECT_EQ(send(Block(5, 36) + nand), std::vector<int>{1});
    EXPECT_EQ(send(Block(13, 2048) + std::string(2048, 'b')), std::vector<int>{1});
    EXPECT_EQ(send(Block(13, 4096) + std::string(4096, 'c')), std::vector<int>{0});  // spans two pages
    EXPECT_EQ(producer.Flash()[0], 'b');
}

TEST(Producer, DataPhaseIsAcknowledgedPerChunkButTheLast) {
    BoardOptions options;
    vboard::Producer producer(options, 921600);  // 16384-byte chunks
    std::string out;
    std::string bytes = Block(16, 40) + std::string(40, '\0') + Block(17, 40000) + std::string(40000, 'x');
    producer.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
    // 16: status; 17: two acknowledgements (16384, 32768) and its status.
    EXPECT_EQ(Statuses(out), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_EQ(producer.Flash()[39999], 'x');
}

}  // namespace
