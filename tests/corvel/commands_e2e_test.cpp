// Producer commands and flash downloads over a virtual board, through the
// exported functions alone; each flow ends comparing the board's flash.
#include "tests/corvel/board_fixture.h"

#include <cstring>
#include <functional>

namespace {

using namespace corvel_test;

class Producer : public BoardTest {
protected:
    // Handshake, then a running producer at `linkBaud`, the port switched to
    // that rate as the station does.
    vboard::VirtualBoard& Running(vboard::BoardOptions options, unsigned linkBaud = 921600) {
        vboard::VirtualBoard& board = Board(options);
        Attach(options.chipType, false, linkBaud);
        EXPECT_EQ(KW_Uart_DownloadProducer(1, WriteFile("producer.bin", Pattern(2000)).c_str(), 0), 1u);
        if (linkBaud != 115200) {
            EXPECT_EQ(KW_ChangeCom(port_.c_str(), 1, linkBaud), 1u);
        }
        return board;
    }
    vboard::VirtualBoard& Running(unsigned chip = 8) {
        vboard::BoardOptions options;
        options.chipType = chip;
        return Running(options);
    }
    static T_DOWNLOAD_BIN Bin(const std::wstring& path, const char* name, uint32_t length) {
        T_DOWNLOAD_BIN bin{};
        std::wcsncpy(bin.path, path.c_str(), 260);
        std::memcpy(bin.name, name, std::min<size_t>(8, std::strlen(name)));
        bin.length = length;
        return bin;
    }
    static std::vector<unsigned> Codes(const vboard::VirtualBoard& board) {
        std::vector<unsigned> codes;
        for (const auto& c : board.ProducerCommands()) codes.push_back(c.code);
        return codes;
    }
};

TEST_F(Producer, StatusRepliesPassAndFailuresAreLogged) {
    vboard::BoardOptions options;
    options.failCode = 7;
    options.faults = {vboard::Fault::Garbage};
    vboard::VirtualBoard& board = Running(options);
    EXPECT_EQ(KW_Uart_TestConnection(1), 1u);
    T_MODE_CONTROL mode{1, 1, 0, 1};
    EXPECT_EQ(KW_Uart_SetMode(1, mode), 1u);
    EXPECT_EQ(KW_Uart_InitSecArea(1, 5), 0u);
    EXPECT_NE(TransferLogText().find("g_ret_flag[0] = 0\r\n"), std::string::npos);
    T_BURNED_PARAM burned{2, {1, 2, 3, 4, 5}};
    EXPECT_EQ(KW_Uart_SetBurnedParam(1, &burned), 1u);
    EXPECT_EQ(KW_Uart_SetBurnedParam(1, nullptr), 0u);
    EXPECT_EQ(KW_Uart_SetEraseMode(1, 3), 1u);
    EXPECT_EQ(KW_Uart_Set_Ex_Parameter(1, 9), 1u);

    auto commands = board.ProducerCommands();
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(Codes(board), (std::vector<unsigned>{2, 3, 7, 104, 111, 57}));
    EXPECT_EQ(commands[1].param1, 0x01000101u);  // the mode record's four bytes
    EXPECT_EQ(commands[2].param1, 5u);
    std::vector<uint8_t> burnedBytes(24);
    std::memcpy(burnedBytes.data(), &burned, 24);
    EXPECT_EQ(commands[3].data, burnedBytes);
    EXPECT_EQ(commands[3].length, 24u);
}

// The transfer log says which command failed, for which export, and how.
TEST_F(Producer, TheTransferLogNamesTheCommandThatFailed) {
    vboard::BoardOptions options;
    options.failCode = 111;
    Running(options);
    EXPECT_EQ(KW_Uart_SetEraseMode(1, 3), 0u);
    EXPECT_NE(TransferLogText().find("]KW_Uart_SetEraseMode: command 111 (set erase mode) fail: "
                                     "the board answered failure (status)\r\n"),
              std::string::npos)
        << TransferLogText();
}

TEST_F(Producer, SilenceFailsAfterTheStatusWaitWithValueTwo) {
    Board(8, false);
    Attach(8, false, 921600);  // no producer: the boot ROM never frames a reply
    EXPECT_EQ(KW_Uart_TestConnection(1), 0u);
    EXPECT_NE(TransferLogText().find("g_ret_flag[0] = 2\r\n"), std::string::npos);
}

TEST_F(Producer, FlashIdIsStoredEvenWhenTheStatusFails) {
    vboard::BoardOptions options;
    options.flashId = 0x00C84017;
    options.flashChips = 2;
    Running(options);
    unsigned id = 0, count = 0;
    EXPECT_EQ(KW_Uart_GetFlashID(1, 254, 254, &id, &count), 1u);
    EXPECT_EQ(id, 0x00C84017u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(KW_Uart_GetFlashID(1, 254, 254, nullptr, &count), 0u);
    EXPECT_NE(TransferLogText().find("c84017"), std::string::npos);
}

TEST_F(Producer, FlashIdDataWithAFailedStatusReturnsZeroAfterStoringTheId) {
    vboard::BoardOptions options;
    options.failCode = 4;
    Running(options);
    unsigned id = 0, count = 0;
    EXPECT_EQ(KW_Uart_GetFlashID(1, 254, 254, &id, &count), 0u);
    EXPECT_EQ(id, options.flashId);
}

TEST_F(Producer, LostAcknowledgementFailsTheDataPhase) {
    vboard::BoardOptions options;
    options.dropAckChunk = 1;
    Running(options, 115200);
    std::wstring path = WriteFile("image.bin", Pattern(20000));
    T_DOWNLOAD_BIN bin = Bin(path, "spiflash", 20000);
    EXPECT_EQ(KW_Uart_Download_spi_img(1, &bin), 0u);
    EXPECT_NE(TransferLogText().find("KW_DownLoadCmd fail"), std::string::npos);
}

TEST_F(Producer, WholeFlashImageLandsByteForByte) {
    vboard::VirtualBoard& board = Running();
    std::vector<uint8_t> image = Pattern(200000, 7);
    T_DOWNLOAD_BIN bin = Bin(WriteFile("image.bin", image), "spiflash", 200000);
    unsigned before = ProgressNow();
    ASSERT_EQ(KW_Uart_Download_spi_img(1, &bin), 1u) << TransferLogText() << " cmds " << board.ProducerCommands().size();

    auto commands = board.ProducerCommands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(Codes(board), (std::vector<unsigned>{16, 17, 17, 17, 17}));
    EXPECT_EQ(commands[1].length, 65536u);
    EXPECT_EQ(commands[4].length, 3392u);
    // The parameter block: size, name, the forwarded members, the length.
    EXPECT_EQ(LE32(&commands[0].data[0]), 200000u);
    EXPECT_EQ(std::string(commands[0].data.begin() + 4, commands[0].data.begin() + 12), "spiflash");
    EXPECT_EQ(LE32(&commands[0].data[16]), 200000u);
    std::vector<uint8_t> flash = board.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // Progress counts every byte written, the 31-byte blocks included.
    EXPECT_EQ(Progress().back() - before, 5 * 31 + 40 + 200000u);
}

TEST_F(Producer, EmptyImageSendsOnlyTheStartCommand) {
    vboard::VirtualBoard& board = Running();
    T_DOWNLOAD_BIN bin = Bin(WriteFile("empty.bin", {}), "spiflash", 0);
    EXPECT_EQ(KW_Uart_Download_spi_img(1, &bin), 4u);
    EXPECT_EQ(Codes(board), (std::vector<unsigned>{16}));
    T_DOWNLOAD_BIN missing = Bin(L"/no/such/image.bin", "spiflash", 0);
    EXPECT_EQ(KW_Uart_Download_spi_img(1, &missing), 2u);
    EXPECT_EQ(KW_Uart_Download_spi_img(1, nullptr), 0u);
}

// A file that cannot be read is a file error (2) for every upload, before
// anything goes out, and the channel carries on.
TEST_F(Producer, EveryUploadGivesTwoForAFileItCannotRead) {
    vboard::VirtualBoard& board = Running(8);
    ASSERT_EQ(KW_Uart_SetMode(1, T_MODE_CONTROL{1, 1, 0, 0}), 1u);
    const std::wstring sources[] = {
        Wide(station_.string()),  // a folder
        L"/proc/self/mem",        // opens, but its first byte cannot be read (also as root)
    };
    struct Upload {
        const char* name;
        std::function<unsigned(const std::wstring&)> call;
    };
    const Upload uploads[] = {
        {"KW_Uart_DownloadProducer", [](const std::wstring& p) { return KW_Uart_DownloadProducer(1, p.c_str(), 0); }},
        {"KW_DownloadProducer_uart", [](const std::wstring& p) { return KW_DownloadProducer_uart(1, p.c_str(), 0); }},
        {"KW_Uart_DownloadRam", [](const std::wstring& p) { return KW_Uart_DownloadRam(1, p.c_str(), 0); }},
        {"KW_Download_1k_Data_uart", [](const std::wstring& p) { return KW_Download_1k_Data_uart(1, p.c_str(), 0); }},
        {"KW_Uart_Download_spi_img",
         [](const std::wstring& p) {
             T_DOWNLOAD_BIN bin = Bin(p, "spiflash", 0);
             return KW_Uart_Download_spi_img(1, &bin);
         }},
        {"KW_Uart_DownloadBoot",
         [](const std::wstring& p) {
             T_DOWNLOAD_BIN bin = Bin(p, "UBOOT", 65536);
             return KW_Uart_DownloadBoot(1, p.c_str(), &bin, SOC_FC_E1);
         }},
    };
    for (const std::wstring& source : sources) {
        for (const Upload& upload : uploads) {
            SCOPED_TRACE(std::string(upload.name) + " " + std::string(source.begin(), source.end()));
            EXPECT_EQ(upload.call(source), 2u);
        }
    }
    EXPECT_EQ(Codes(board), (std::vector<unsigned>{3})) << "a command went out for a file that cannot be read";
    EXPECT_EQ(KW_Uart_TestConnection(1), 1u);
}

TEST_F(Producer, SpiNorBootLoaderGetsItsHeaderAndFlashParameters) {
    vboard::VirtualBoard& board = Running(8);
    T_MODE_CONTROL mode{1, 1, 0, 0};
    ASSERT_EQ(KW_Uart_SetMode(1, mode), 1u);
    ASSERT_EQ(KW_Uart_Set_Ex_Parameter(1, 3), 1u);
    T_SFLASH_PHY_INFO spi{};
    spi.chip_id = 0x1740EF;
    spi.total_size = 4 << 20;
    spi.erase_size = 65536;
    spi.clock = 10000000;
    std::strcpy(spi.name, "test-nor");
    ASSERT_EQ(KW_Uart_SetSPIParam(1, &spi), 1u);

    const std::vector<uint8_t> loader = SpiNorBootLoader();
    T_DOWNLOAD_BIN bin = Bin(WriteFile("u-boot.bin", loader), "UBOOT", 131072);
    EXPECT_EQ(KW_Uart_DownloadBoot(1, bin.path, &bin, RESERVER), 0u);
    ASSERT_EQ(KW_Uart_DownloadBoot(1, bin.path, &bin, SOC_FC_E1), 1u);

    const std::vector<uint8_t> expected = SpiNorBootLoaderAsWritten(loader, spi);
    std::vector<uint8_t> flash = board.Flash();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
    auto commands = board.ProducerCommands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](auto& c) { return c.code == 13; }), 2);
}

TEST_F(Producer, NandBootLoaderGoesOutInPagePieces) {
    vboard::BoardOptions options;
    options.nand = true;
    vboard::VirtualBoard& board = Running(options);
    T_MODE_CONTROL mode{5, 1, 0, 0};
    ASSERT_EQ(KW_Uart_SetMode(1, mode), 1u);
    tag_Nand_Phy_Info nand{};
    nand.chip_id = 0xC8D1;
    nand.page_size = 256;
    nand.spare_size = 64;
    ASSERT_EQ(KW_Uart_SetNandParam(1, &nand), 1u);
    std::vector<uint8_t> loader = Pattern(10000, 11);
    T_DOWNLOAD_BIN bin = Bin(WriteFile("u-boot.bin", loader), "UBOOT", 131072);
    EXPECT_EQ(KW_Uart_DownloadBoot(1, bin.path, &bin, SOC_FC_E1), 4u);

    nand.page_size = 2048;
    nand.page_per_block = 64;
    nand.clock = 20000000;
    ASSERT_EQ(KW_Uart_SetNandParam(1, &nand), 1u);
    ASSERT_EQ(KW_Uart_DownloadBoot(1, bin.path, &bin, SOC_FC_E1), 1u);

    std::vector<unsigned> pieces;
    for (const auto& c : board.ProducerCommands())
        if (c.code == 13) pieces.push_back(c.length);
    EXPECT_EQ(pieces, (std::vector<unsigned>{2048, 2048, 2048, 2048, 1808}));
    const std::vector<uint8_t> expected = NandBootLoaderAsWritten(loader, 5, nand);
    std::vector<uint8_t> flash = board.Flash();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
}

TEST_F(Producer, CloseClearsTheConnectionEvenWithoutAPort) {
    Running();
    EXPECT_EQ(KW_Uart_Close(1), 1u);
    EXPECT_EQ(KW_Uart_Close(2), 0u);
}

}  // namespace

namespace {

using namespace corvel_test;

// A secure type-9 boot loader is signed: its header must reach the flash untouched.
TEST_F(BoardTest, SecureType9BootLoaderIsNotRewritten) {
    vboard::BoardOptions options;
    options.chipType = 9;
    options.secure = true;
    vboard::VirtualBoard& board = Board(options);
    Attach(9, true, 115200);
    ASSERT_EQ(KW_Uart_DownloadProducer(1, WriteFile("producer.bin", Pattern(3000)).c_str(), 0), 1u);
    T_MODE_CONTROL mode{1, 1, 0, 0};
    ASSERT_EQ(KW_Uart_SetMode(1, mode), 1u);
    std::vector<uint8_t> loader = Pattern(5000, 13);
    T_DOWNLOAD_BIN bin{};
    std::wstring path = WriteFile("u-boot.bin", loader);
    std::wcsncpy(bin.path, path.c_str(), 260);
    std::memcpy(bin.name, "UBOOT", 5);
    bin.length = 65536;
    ASSERT_EQ(KW_Uart_DownloadBoot(1, bin.path, &bin, SOC_FA_V3), 1u);
    std::vector<uint8_t> flash = board.Flash();
    EXPECT_TRUE(std::equal(loader.begin(), loader.end(), flash.begin()));
}

}  // namespace
