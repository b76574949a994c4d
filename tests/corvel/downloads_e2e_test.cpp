// Boot-ROM downloads and producer commands over a virtual board, through the
// exported functions alone; the board checks what it receives.
#include "tests/corvel/board_fixture.h"

#include <cstring>
#include <functional>

namespace {

using namespace corvel_test;
using Downloads = BoardTest;

TEST_F(Downloads, ProducerIsPatchedWithTheLinkWordsAndSentAsOneChunk) {
    vboard::VirtualBoard& board = Board(8, false);
    Attach(8, false, 921600);
    std::vector<uint8_t> producer = Pattern(1000);
    unsigned base = ProgressNow();
    size_t before = Progress().size();
    ASSERT_EQ(KW_Uart_DownloadProducer(1, WriteFile("producer.bin", producer).c_str(), 0), 1u);

    auto uploads = board.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].command, "download");
    EXPECT_TRUE(uploads[0].valid) << "length or checksum wrong";
    std::vector<uint8_t> expected = producer;
    PutLE32(&expected[52], 921600);
    PutLE32(&expected[56], 1);
    EXPECT_EQ(uploads[0].file, expected);
    auto progress = Progress();
    EXPECT_EQ(std::vector<unsigned>(progress.begin() + static_cast<long>(before), progress.end()),
              std::vector<unsigned>{base + 1006});  // one 1006-byte chunk
    // The producer now runs at the link rate it was given; the station's port follows it there.
    ASSERT_EQ(KW_ChangeCom(port_.c_str(), 1, 921600), 1u);
    EXPECT_EQ(KW_Uart_TestConnection(1), 1u);
}

TEST_F(Downloads, SecureProducerGoesUnpatchedInSmallChunks) {
    vboard::VirtualBoard& board = Board(9, true);
    Attach(9, true, 921600);
    std::vector<uint8_t> producer = Pattern(20000, 2);
    unsigned base = ProgressNow();
    ASSERT_EQ(KW_Uart_DownloadProducer(1, WriteFile("producer.bin", producer).c_str(), 0), 1u);
    auto uploads = board.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].command, "securedown");
    EXPECT_TRUE(uploads[0].valid);
    EXPECT_EQ(uploads[0].file, producer);
    auto progress = Progress();
    ASSERT_GE(progress.size(), 3u);
    std::vector<unsigned> last3(progress.end() - 3, progress.end());
    EXPECT_EQ(last3, (std::vector<unsigned>{base + 8192, base + 16384, base + 20006}));
    EXPECT_EQ(KW_Uart_TestConnection(1), 1u);  // started with securego
}

TEST_F(Downloads, ShortProducerIsRefusedBeforeAnythingIsSent) {
    vboard::VirtualBoard& board = Board(8, false);
    Attach(8, false, 115200);
    EXPECT_EQ(KW_Uart_DownloadProducer(1, WriteFile("short.bin", Pattern(59)).c_str(), 0), 2u);
    EXPECT_EQ(KW_Uart_DownloadProducer(1, L"/no/such/producer.bin", 0), 2u);
    EXPECT_EQ(KW_Uart_DownloadProducer(1, nullptr, 0), 4u);
    EXPECT_EQ(KW_Uart_DownloadProducer(2, WriteFile("p.bin", Pattern(100)).c_str(), 0), 4u);  // nothing attached
    EXPECT_TRUE(board.Uploads().empty());
    std::string log = TransferLogText();
    EXPECT_NE(log.find("too short"), std::string::npos);
    EXPECT_NE(log.find("pstrPath NULL"), std::string::npos);
    EXPECT_NE(log.find("hHandle fail"), std::string::npos);
}

TEST_F(Downloads, RamTableReachesTheBoardAndPausesSendNothing) {
    vboard::VirtualBoard& board = Board(8, false);
    Attach(8, false, 115200);
    T_RAM_REG table[] = {{0x08000010, 0x11}, {KW_RAM_PAUSE, 50}, {0x08000014, 0x22}, {KW_RAM_END, 0}, {0x1, 0x2}};
    ASSERT_EQ(KW_Uart_SetRamParam(1, table, 5), 1u);
    std::vector<std::pair<uint32_t, uint32_t>> sent = {{0x08000010, 0x11}, {0x08000014, 0x22}};
    EXPECT_EQ(board.RamPairs(), sent);
    // A table without its end marker still ends the board's table: the next command works.
    T_RAM_REG open[] = {{0x08000018, 0x33}};
    ASSERT_EQ(KW_Uart_SetRamParam(1, open, 1), 1u);
    EXPECT_EQ(KW_Uart_Setvalue(1, "08000020", "00000001"), 1u);
    EXPECT_EQ(board.Registers().at("08000020"), "00000001");
    EXPECT_EQ(board.RamPairs().back(), (std::pair<uint32_t, uint32_t>{0x08000018, 0x33}));
}

TEST_F(Downloads, OversizedRamTableIsRefusedOnTheFirstCall) {
    KW_Start();  // nothing attached yet: only forgets the recorded table
    vboard::VirtualBoard& board = Board(8, false);
    Attach(8, false, 115200);
    std::vector<T_RAM_REG> table(101, T_RAM_REG{0x08000010, 1});
    EXPECT_EQ(KW_Uart_SetRamParam(1, table.data(), 101), 0u);
    EXPECT_EQ(KW_SetRamParam_no_CommitCorvel(1, table.data(), 101), 0u);
    EXPECT_TRUE(board.RamPairs().empty());
    EXPECT_EQ(KW_SetRamParam_no_CommitCorvel(1, table.data(), 100), 1u);
}

TEST_F(Downloads, DownloadCommandWithoutEchoGivesUpAfterThreeTries) {
    vboard::VirtualBoard& board = Board(8, false, {vboard::Fault::BadEcho});
    Attach(8, false, 115200);
    EXPECT_EQ(KW_DownloadProducer_uart(1, WriteFile("producer.bin", Pattern(100)).c_str(), 0), 0u);
    // Three tries, each ended by a carriage return: the board saw three short
    // lines (the last return may still be on its way when the call returns).
    auto shortLines = [&] {
        std::vector<std::string> lines = board.Lines();
        return std::count(lines.begin(), lines.end(), "do");
    };
    for (int i = 0; i < 250 && shortLines() < 3; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(shortLines(), 3);
    EXPECT_TRUE(board.Uploads().empty());
}

TEST_F(Downloads, RamTestOfChipType11ReportsTheMarker) {
    vboard::VirtualBoard& board = Board(11, false);
    ASSERT_EQ(KW_Start_Read(port_.c_str(), 0, SOC_FA_V1), 1u);
    for (int i = 0; i < 100 && !board.Awake(); ++i) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(KW_Uart_DownloadRam(1, WriteFile("ramtest.bin", Pattern(3000)).c_str(), 0), 1u);
    auto uploads = board.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].address, "d2800100");
    EXPECT_TRUE(uploads[0].valid);
    // The baud choice follows and consumes the prompt: a second RAM test sends nothing.
    EXPECT_EQ(KW_Choose_Baud(port_.c_str(), 0, 115200), 1u);
    EXPECT_EQ(KW_Uart_DownloadRam(1, WriteFile("ramtest.bin", Pattern(3000)).c_str(), 0), 2u);
    EXPECT_EQ(board.Uploads().size(), 1u);
}

// The station's round for chip type 11: wake the board, then its RAM test,
// again while the prompt has not been seen.
unsigned RamCheckRound(const std::wstring& port, const std::wstring& ramTest) {
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (KW_Start_Read(port.c_str(), 0, SOC_FA_V1) != 1) return 0;
        std::this_thread::sleep_for(30ms);
        unsigned r = KW_Uart_DownloadRam(1, ramTest.c_str(), 0xD2800100);
        if (r != 2) return r;
    }
    return 2;
}

TEST_F(Downloads, BoardWithBadRamLeavesTheChannelReadyForTheNextBoard) {
    std::wstring ramTest = WriteFile("ramtest.bin", Pattern(3000));
    Board(11, false, {vboard::Fault::BadRam});
    EXPECT_EQ(RamCheckRound(port_, ramTest), 0u);
    KW_Detach_Uart(port_.c_str());  // the station gives the port back and watches on

    vboard::VirtualBoard& next = Board(11, false);
    ASSERT_EQ(RamCheckRound(port_, ramTest), 1u) << "the channel no longer sees boot prompts";
    EXPECT_EQ(next.Uploads().size(), 1u);
    EXPECT_EQ(KW_Choose_Baud(port_.c_str(), 0, 115200), 1u);
    EXPECT_EQ(KW_Attach_Uart(port_.c_str(), 115200, 0), 1u);
}

// A write the port no longer takes fails the call, with the port closed where
// the call's other failures close it.
TEST_F(Downloads, WritesThatDoNotGoOutFailTheCall) {
    std::vector<T_RAM_REG> table(50, T_RAM_REG{0x08000010, 1});
    struct Case {
        const char* what;
        std::string unplugAfter;  // the board unplugs as the bytes after this line come
        std::function<unsigned()> call;
        const char* logLine;
    };
    const Case cases[] = {
        {"the RAM table after \"draminit\"", "draminit",
         [&] {
             Attach(6, false, 115200);
             return KW_Uart_SetRamParam(1, table.data(), static_cast<unsigned>(table.size()));
         },
         "KW_Uart_SetRamParam: the RAM table did not go out\r\n"},
        {"the return that attaches the port", "",
         [&] {
             EXPECT_EQ(WakeAndChoose(6, false, 115200), 1u);
             board_.reset();  // unplugged between the handshake and the attach
             return KW_Attach_Uart(port_.c_str(), 115200, 0);
         },
         "KW_Attach_Uart: the port takes no more bytes\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vboard::BoardOptions options;
        options.chipType = 6;
        options.unplugAfterLine = c.unplugAfter;
        Board(options);
        EXPECT_EQ(c.call(), 0u);
        EXPECT_NE(TransferLogText().find(c.logLine), std::string::npos);
        // The channel has no port left: the next call on it is refused at once.
        EXPECT_EQ(KW_Uart_Setvalue(1, "08000020", "00000001"), 0u);
        KW_Detach_Uart(port_.c_str());
    }
}

TEST_F(Downloads, SignedDataBlockIsUploaded) {
    vboard::VirtualBoard& board = Board(8, false);
    Attach(8, false, 115200);
    std::vector<uint8_t> data = Pattern(1024, 3);
    ASSERT_EQ(KW_Download_1k_Data_uart(1, WriteFile("sign.bin", data).c_str(), 0x5349474E), 1u);
    auto uploads = board.Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].command, "sign");
    EXPECT_EQ(uploads[0].file, data);
    EXPECT_TRUE(uploads[0].valid);
}

}  // namespace

namespace {

using namespace corvel_test;

// Two channels download their producers at once while downloads are
// serialised: both arrive whole.
TEST_F(BoardTest, ConcurrentProducerDownloadsTakeTurns) {
    vboard::BoardOptions options;
    options.chipType = 6;  // its attach writes no register, so downloads stay serialised
    std::vector<std::unique_ptr<vboard::VirtualBoard>> boards;
    std::vector<std::wstring> ports;
    KW_Secuse_boot_flag(0);
    T_CORVEL_PARA para{0, 2, 6};
    ASSERT_EQ(KW_SetCorvelParam(0, &para), 1u);
    for (unsigned index = 0; index < 2; ++index) {
        boards.push_back(std::make_unique<vboard::VirtualBoard>(options));
        ports.push_back(Wide(boards.back()->PortPath()));
        unsigned r = 2;
        for (int i = 0; i < 30 && r == 2; ++i) {
            ASSERT_EQ(KW_Start_Read(ports[index].c_str(), index, SOC_FA_V5), index + 1);
            std::this_thread::sleep_for(30ms);
            r = KW_Choose_Baud(ports[index].c_str(), index, 115200);
        }
        ASSERT_EQ(r, index + 1);
        ASSERT_EQ(KW_Attach_Uart(ports[index].c_str(), 115200, index), index + 1);
    }
    std::vector<uint8_t> producer = Pattern(9000, 5);
    std::wstring path = WriteFile("producer.bin", producer);
    unsigned results[2] = {0, 0};
    std::thread other([&] { results[1] = KW_Uart_DownloadProducer(2, path.c_str(), 0); });
    results[0] = KW_Uart_DownloadProducer(1, path.c_str(), 0);
    other.join();
    EXPECT_EQ(results[0], 1u);
    EXPECT_EQ(results[1], 1u);
    for (auto& board : boards) {
        auto uploads = board->Uploads();
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_TRUE(uploads[0].valid);
    }
    for (const auto& port : ports) KW_Detach_Uart(port.c_str());
}

}  // namespace
