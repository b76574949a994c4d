// Writing a USB board's flash and reading it back through the exported
// functions: against the virtual board's producer behind the real transaction
// code (the flash is compared byte for byte), and against the simulated
// device for every step that fails.
#include "corvel.h"
#include "tests/corvel/board_fixture.h"
#include "tests/corvel/usb_station.h"
#include "tests/usbcorvel/fake_usb_device.h"
#include "tests/usbcorvel/station_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace usb_downloads_test {
namespace {

std::atomic<unsigned> g_progressTotal{0};
void RecordProgress(unsigned nID, unsigned total) {
    if (nID == 1) g_progressTotal = total;
}
int NoBurn(unsigned) { return 0; }

using corvel_test::LE32;
using corvel_test::NandBootLoaderAsWritten;
using corvel_test::SpiNorBootLoader;
using corvel_test::SpiNorBootLoaderAsWritten;
using corvel_test::Pattern;
using corvel_test::PutLE32;

T_SFLASH_PHY_INFO SpiNor() {
    T_SFLASH_PHY_INFO spi{};
    spi.chip_id = 0x1740EF;
    spi.total_size = 4 << 20;
    spi.page_size = 256;
    spi.erase_size = 65536;
    spi.clock = 10000000;
    std::strcpy(spi.name, "test-nor");
    return spi;
}
tag_Nand_Phy_Info Nand() {
    tag_Nand_Phy_Info nand{};
    nand.chip_id = 0xC8D1;
    nand.page_size = 2048;
    nand.spare_size = 64;
    nand.page_per_block = 64;
    nand.clock = 20000000;
    return nand;
}

class UsbDownloads : public ::testing::Test {
protected:
    void SetUp() override {
        fakeusb::Reset();
        ASSERT_EQ(KW_Init(2, NoBurn, RecordProgress), 1u);
        KW_Is_Bind_channels_flag(0);
        KW_Secuse_boot_flag(0);
        T_CORVEL_PARA para{0, 2, SOC_FC_E1};
        KW_SetCorvelParam(0, &para);
    }
    void TearDown() override {
        for (const auto& path : attached_) KW_DetachUSB(path.c_str(), 0);
    }
    unsigned Attach(const std::wstring& path) {
        attached_.push_back(path);
        return KW_AttachUSB(path.c_str(), 0, SOC_FC_E1);
    }
    // A producer board in SPI NOR (or NAND) mode with its flash parameters.
    void Ready(bool nand) {
        ASSERT_EQ(Attach(L"usb:1-4"), 1u);
        ASSERT_EQ(KW_SetMode(1, T_MODE_CONTROL{static_cast<uint8_t>(nand ? 5 : 1), 1, 0, 0}), 1u);
        if (nand) {
            tag_Nand_Phy_Info info = Nand();
            ASSERT_EQ(KW_SetNandParam(1, &info), 1u);
        } else {
            ASSERT_EQ(KW_Set_Ex_Parameter(1, 3), 1u);
            T_SFLASH_PHY_INFO info = SpiNor();
            ASSERT_EQ(KW_SetSPIParam(1, &info), 1u);
        }
    }
    static T_DOWNLOAD_BIN Bin(const std::string& file, const std::vector<uint8_t>& bytes, const char* name,
                              uint32_t length) {
        std::filesystem::path path = usbtest::UsbStation::folder / file;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        T_DOWNLOAD_BIN bin{};
        std::string narrow = path.string();
        std::wstring wide(narrow.begin(), narrow.end());
        std::wcsncpy(bin.path, wide.c_str(), 260);
        std::memcpy(bin.name, name, std::min<size_t>(8, std::strlen(name)));
        bin.length = length;
        return bin;
    }
    // The producer's commands with this code, from the first on.
    static std::vector<vboard::ReceivedCommand> Received(unsigned code) {
        std::vector<vboard::ReceivedCommand> found;
        for (const auto& c : fakeusb::ProducerCommands())
            if (c.code == code) found.push_back(c);
        return found;
    }
    static std::vector<unsigned> Lengths(const std::vector<vboard::ReceivedCommand>& commands) {
        std::vector<unsigned> lengths;
        for (const auto& c : commands) lengths.push_back(c.length);
        return lengths;
    }
    static std::string TransferLog() { return usbtest::TransferLogText(usbtest::UsbStation::folder); }

    std::vector<std::wstring> attached_;
};

TEST_F(UsbDownloads, SpiNorBootLoaderWholeFlashImageAndPagesReadBack) {
    vboard::BoardOptions board;
    fakeusb::PlayProducer(board);
    Ready(false);

    const std::vector<uint8_t> loader = SpiNorBootLoader();
    T_DOWNLOAD_BIN boot = Bin("u-boot.bin", loader, "UBOOT", 131072);
    ASSERT_EQ(KW_DownloadBoot(1, boot.path, &boot, SOC_FC_E1), 1u) << TransferLog();
    const std::vector<uint8_t> expected = SpiNorBootLoaderAsWritten(loader, SpiNor());
    std::vector<uint8_t> flash = fakeusb::ProducerFlash();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
    EXPECT_EQ(Lengths(Received(13)), (std::vector<unsigned>{65536, 4464}));

    std::vector<uint8_t> image = Pattern(200000, 7);
    T_DOWNLOAD_BIN whole = Bin("image.bin", image, "spiflash", 200000);
    unsigned before = g_progressTotal;
    ASSERT_EQ(KW_Download_spi_img(1, &whole), 1u) << TransferLog();
    flash = fakeusb::ProducerFlash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    auto start = Received(58);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(LE32(&start[0].data[0]), 200000u);
    EXPECT_EQ(std::string(start[0].data.begin() + 4, start[0].data.begin() + 12), "spiflash");
    EXPECT_EQ(Lengths(Received(59)), (std::vector<unsigned>{65536, 65536, 65536, 3392}));
    // Over USB the progress counts the data the board took: parameter block and image.
    EXPECT_EQ(g_progressTotal - before, 40 + 200000u);

    // 300 pages of 256 bytes: 256 pages (64 KiB) in the first piece, 44 in the second.
    std::vector<uint8_t> pages(300 * 256);
    ASSERT_EQ(KW_UploadSDPage(1, 100, 300, pages.data(), static_cast<unsigned>(pages.size())), 1u) << TransferLog();
    EXPECT_TRUE(std::equal(pages.begin(), pages.end(), flash.begin() + 100 * 256));
    auto requests = Received(52);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].data, (std::vector<uint8_t>{100, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(requests[1].length, 256u * 256);
    EXPECT_EQ(requests[2].data, (std::vector<uint8_t>{0x64, 1, 0, 0, 44, 0, 0, 0}));
    EXPECT_EQ(requests[3].length, 44u * 256);
}

TEST_F(UsbDownloads, NandBootLoaderGoesOutInTransferUnitPiecesAndReadsBackByPages) {
    vboard::BoardOptions board;
    board.nand = true;
    fakeusb::PlayProducer(board);
    Ready(true);

    std::vector<uint8_t> loader = Pattern(150000, 11);
    T_DOWNLOAD_BIN boot = Bin("u-boot.bin", loader, "UBOOT", 262144);
    ASSERT_EQ(KW_DownloadBoot(1, boot.path, &boot, SOC_FC_E1), 1u) << TransferLog();
    // 31 pages with their 64-byte spare areas fit 64 KiB: 65472 bytes a piece.
    EXPECT_EQ(Lengths(Received(13)), (std::vector<unsigned>{65472, 65472, 19056}));
    const std::vector<uint8_t> expected = NandBootLoaderAsWritten(loader, 74, Nand());
    std::vector<uint8_t> flash = fakeusb::ProducerFlash();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));

    // 40 pages of 2048 bytes: the 31 the transfer unit carries, then 9.
    std::vector<uint8_t> pages(40 * 2048);
    ASSERT_EQ(KW_UploadSDPage(1, 0, 40, pages.data(), static_cast<unsigned>(pages.size())), 1u) << TransferLog();
    EXPECT_TRUE(std::equal(pages.begin(), pages.end(), flash.begin()));
    auto pieces = Received(52);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[1].length, 31u * 2048);
    EXPECT_EQ(pieces[3].length, 9u * 2048);
}

TEST_F(UsbDownloads, ClientBootIsStagedInRamThenWrittenAndCheckedAsItStands) {
    vboard::BoardOptions board;
    fakeusb::PlayProducer(board);
    Ready(false);
    std::vector<uint8_t> client = Pattern(70000, 5);
    std::memcpy(&client[4], "SIGNED!!", 8);  // a header the board takes as it stands
    T_DOWNLOAD_BIN bin = Bin("client.bin", client, "CLIENT", 131072);
    ASSERT_EQ(KW_DownloadClientBoot(1, &bin, 0x80000000), 1u) << TransferLog();
    std::vector<uint8_t> flash = fakeusb::ProducerFlash();
    EXPECT_TRUE(std::equal(client.begin(), client.end(), flash.begin()));

    std::vector<unsigned> codes;
    for (const auto& c : fakeusb::ProducerCommands())
        if (c.code == 36 || c.code == 37 || c.code == 45 || c.code == 47) codes.push_back(c.code);
    EXPECT_EQ(codes, (std::vector<unsigned>{36, 37, 37, 45, 47}));
    auto ram = Received(37);
    EXPECT_EQ(ram[1].param1, 0x80010000u);  // the second piece goes 64 KiB further
    EXPECT_EQ(ram[1].length, 70000u - 65536);
    uint32_t sum = 0;
    for (uint8_t b : client) sum += b;
    std::vector<uint8_t> check(8);
    PutLE32(&check[0], 70000);
    PutLE32(&check[4], sum);
    EXPECT_EQ(Received(47)[0].data, check);
}

// The medium mode belongs to the channel: another board's mode command does
// not change how this one's boot loader is cut.
TEST_F(UsbDownloads, EachChannelKeepsItsOwnMediumMode) {
    ASSERT_EQ(Attach(L"usb:1-1"), 1u);
    ASSERT_EQ(Attach(L"usb:1-2"), 2u);
    T_SFLASH_PHY_INFO spi = SpiNor();
    tag_Nand_Phy_Info nand = Nand();
    ASSERT_EQ(KW_SetMode(1, T_MODE_CONTROL{1, 1, 0, 0}), 1u);
    ASSERT_EQ(KW_SetSPIParam(1, &spi), 1u);
    ASSERT_EQ(KW_SetMode(2, T_MODE_CONTROL{5, 1, 0, 0}), 1u);
    ASSERT_EQ(KW_SetNandParam(2, &nand), 1u);
    T_DOWNLOAD_BIN boot = Bin("u-boot.bin", Pattern(70000, 3), "UBOOT", 131072);
    size_t before = fakeusb::Transactions().size();
    ASSERT_EQ(KW_DownloadBoot(1, boot.path, &boot, SOC_FC_E1), 1u) << TransferLog();
    std::vector<unsigned> pieces;
    for (size_t i = before; i < fakeusb::Transactions().size(); ++i)
        if (fakeusb::Transactions()[i].code == 13) pieces.push_back(fakeusb::Transactions()[i].length);
    EXPECT_EQ(pieces, (std::vector<unsigned>{65536, 4464}));
}

TEST_F(UsbDownloads, BadArgumentsAndMissingDevicesSendNothing) {
    ASSERT_EQ(Attach(L"usb:1-4"), 1u);
    // NAND parameters known, but a mode without a boot layout (medium 0).
    tag_Nand_Phy_Info nand = Nand();
    ASSERT_EQ(KW_SetNandParam(1, &nand), 1u);
    ASSERT_EQ(KW_SetMode(1, T_MODE_CONTROL{0, 1, 0, 0}), 1u);
    size_t setUp = fakeusb::Transactions().size();
    T_DOWNLOAD_BIN bin = Bin("u-boot.bin", Pattern(1000, 1), "UBOOT", 65536);
    T_DOWNLOAD_BIN empty = Bin("empty.bin", {}, "CLIENT", 65536);
    std::vector<uint8_t> pages(4096);
    struct Case {
        const char* what;
        std::function<unsigned()> call;
        unsigned result;
    };
    const Case cases[] = {
        {"a chip type without a boot loader", [&] { return KW_DownloadBoot(1, bin.path, &bin, RESERVER); }, 0},
        {"boot loader without a record", [&] { return KW_DownloadBoot(1, bin.path, nullptr, SOC_FC_E1); }, 0},
        {"boot loader without a medium mode", [&] { return KW_DownloadBoot(1, bin.path, &bin, SOC_FC_E1); }, 0},
        {"image on a channel without a device", [&] { return KW_Download_spi_img(2, &bin); }, 4},
        {"image beyond the channels", [&] { return KW_Download_spi_img(3, &bin); }, 0},
        {"client boot on a channel without a device", [&] { return KW_DownloadClientBoot(2, &bin, 0); }, 4},
        {"an empty client boot", [&] { return KW_DownloadClientBoot(1, &empty, 0x80000000); }, 2},
        {"a client boot past 4 GiB of RAM", [&] { return KW_DownloadClientBoot(1, &bin, 0xFFFFFF00); }, 4},
        {"pages without a page size", [&] { return KW_UploadSDPage(1, 0, 1, pages.data(), 4096); }, 4},
        {"pages on a channel without a device", [&] { return KW_UploadSDPage(2, 0, 1, pages.data(), 4096); }, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.result);
    }
    EXPECT_EQ(fakeusb::Transactions().size(), setUp);
    // With a page size known, the buffer must hold the pages asked for.
    ASSERT_EQ(KW_SetMode(1, T_MODE_CONTROL{1, 1, 0, 0}), 1u);
    T_SFLASH_PHY_INFO spi = SpiNor();
    ASSERT_EQ(KW_SetSPIParam(1, &spi), 1u);
    size_t before = fakeusb::Transactions().size();
    EXPECT_EQ(KW_UploadSDPage(1, 0, 17, pages.data(), 4096), 4u);
    EXPECT_EQ(KW_UploadSDPage(1, 0, 0, pages.data(), 4096), 4u);
    EXPECT_EQ(KW_UploadSDPage(1, 0, 1, nullptr, 4096), 4u);
    EXPECT_EQ(fakeusb::Transactions().size(), before);
}

// Each download against the simulated device: a board that refuses any one
// step, or a data phase cut off part-way, fails the call, nothing more goes
// out, and the transfer log names the export and the command.
TEST_F(UsbDownloads, EveryStepThatFailsEndsTheTransferAndIsNamed) {
    std::vector<uint8_t> pages(300 * 256);
    struct Case {
        const char* function;
        std::vector<unsigned> steps;  // the codes the call sends, in order
        std::function<unsigned(const T_DOWNLOAD_BIN&)> call;
    };
    const Case cases[] = {
        {"KW_DownloadBoot", {12, 13, 13},
         [](const T_DOWNLOAD_BIN& b) { return KW_DownloadBoot(1, b.path, &b, SOC_FC_E1); }},
        {"KW_Download_spi_img", {58, 59, 59}, [](const T_DOWNLOAD_BIN& b) { return KW_Download_spi_img(1, &b); }},
        {"KW_DownloadClientBoot", {36, 37, 37, 45, 47},
         [](const T_DOWNLOAD_BIN& b) { return KW_DownloadClientBoot(1, &b, 0x80000000); }},
        {"KW_UploadSDPage", {52, 52, 52, 52},
         [&](const T_DOWNLOAD_BIN&) { return KW_UploadSDPage(1, 0, 300, pages.data(), 300 * 256); }},
    };
    const char* names[128] = {};
    names[12] = "boot loader start", names[13] = "boot loader data", names[36] = "RAM download start";
    names[37] = "RAM download data", names[45] = "client boot write", names[47] = "client boot check";
    names[52] = "upload pages", names[58] = "whole-flash image start over USB";
    names[59] = "whole-flash image data over USB";
    for (const Case& c : cases) {
        for (bool cut : {false, true}) {
            for (size_t step = 0; step < c.steps.size(); ++step) {
                unsigned code = c.steps[step];
                if (cut && code == 36) continue;  // no data phase to cut
                SCOPED_TRACE(std::string(c.function) + (cut ? " cut at step " : " refused at step ") +
                             std::to_string(step));
                TearDown();
                attached_.clear();
                fakeusb::Reset();
                ASSERT_EQ(Attach(L"usb:1-4"), 1u);
                ASSERT_EQ(KW_SetMode(1, T_MODE_CONTROL{1, 1, 0, 0}), 1u);
                T_SFLASH_PHY_INFO spi = SpiNor();
                ASSERT_EQ(KW_SetSPIParam(1, &spi), 1u);
                T_DOWNLOAD_BIN bin = Bin("file.bin", Pattern(70000, 2), "UBOOT", 131072);
                size_t first = fakeusb::Transactions().size();
                if (cut) fakeusb::CutDataPhase(first + step, 100);
                else fakeusb::FailTransaction(first + step);

                EXPECT_EQ(c.call(bin), 0u);
                auto sent = fakeusb::Transactions();
                ASSERT_EQ(sent.size() - first, step + 1) << "the transfer went on after a failed step";
                for (size_t i = 0; i <= step; ++i) EXPECT_EQ(sent[first + i].code, c.steps[i]);
                std::string line = std::string(c.function) + ": command " + std::to_string(code) + " (" +
                                   names[code] + ") fail: " +
                                   (cut ? "the data phase was cut off after 100 bytes" : "simulated failure");
                EXPECT_NE(TransferLog().find(line), std::string::npos) << line;
            }
        }
    }
}

}  // namespace
}  // namespace usb_downloads_test
