// The USB functions of libcorvel.so, through its exported interface, against a
// simulated board behind the USB access library and a simulated device list.
#include "corvel.h"
#include "tests/corvel/usb_station.h"
#include "tests/usbcorvel/station_log.h"
#include "tests/usbcorvel/fake_usb_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::atomic<unsigned> g_progressCalls{0}, g_progressBytes{0};
std::atomic<unsigned> g_burnResult{0};

void Progress(unsigned, unsigned bytes) {
    ++g_progressCalls;
    g_progressBytes = bytes;
}
int Burn(unsigned nID) {
    g_burnResult = KW_TestConnection(nID);
    return 0;
}

template <typename T>
std::vector<uint8_t> Bytes(const T& record, size_t size = sizeof(T)) {
    auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + size);
}

using usbtest::UsbStation;

class UsbTransport : public ::testing::Test {
protected:
    void SetUp() override {
        fakeusb::Reset();
        ASSERT_EQ(KW_Init(4, Burn, Progress), 1u);
        KW_Is_Bind_channels_flag(0);
        KW_Secuse_boot_flag(0);
    }
    void TearDown() override {
        for (const auto& path : attached_) KW_DetachUSB(path.c_str(), 0);
    }

    // Attaches a board of a chip type that needs no register writes.
    unsigned Attach(const std::wstring& path, E_CHIP_TYPE chip = SOC_FA_V8) {
        attached_.push_back(path);
        return KW_AttachUSB(path.c_str(), 0, chip);
    }
    static std::vector<fakeusb::Transaction> Since(size_t first) {
        auto all = fakeusb::Transactions();
        return std::vector<fakeusb::Transaction>(all.begin() + static_cast<long>(std::min(first, all.size())), all.end());
    }
    static std::string TransferLog() { return usbtest::TransferLogText(UsbStation::folder); }

    std::vector<std::wstring> attached_;
};

// ---- one table of commands: code, direction, parameters and data bytes ----

struct Expected {
    unsigned code, direction, param1, param2, length;
    std::vector<uint8_t> sent;
};

struct CommandCase {
    const char* name;
    std::function<unsigned(unsigned nID)> call;
    std::vector<Expected> transactions;
    friend std::ostream& operator<<(std::ostream& os, const CommandCase& c) { return os << c.name; }
};

const tag_Nand_Phy_Info kNand = [] {
    tag_Nand_Phy_Info n{};
    n.chip_id = 0x9590DAEC;
    n.page_size = 2048;
    n.spare_size = 64;
    n.page_per_block = 64;
    n.clock = 50000000;
    n.reserved[6] = 0xDEADBEEF;  // beyond the 36 bytes that travel
    return n;
}();
const T_SFLASH_PHY_INFO kSpi = [] {
    T_SFLASH_PHY_INFO s{};
    s.chip_id = 0x1740EF;
    s.total_size = 8 << 20;
    s.erase_size = 65536;
    std::strcpy(s.name, "test-nor");
    return s;
}();
const T_BURNED_PARAM kBurned{2, {1, 2, 3, 4, 5}};
const T_FORMAT_DRIVER kFormat{{1, 2, 3, 4, 5}};
const T_GPIO_PARAM kGpio{3, 1};
const T_CHIP_SELECT_DATA kChipSelect{{0, 1, 2}};
const std::vector<uint8_t> kTable{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const std::vector<uint8_t> kRam{0xA5, 0x5A, 0x01};
const std::vector<uint8_t> kSerial{'S', 'N', '0', '1'};
const std::vector<uint8_t> kAsaRequest{1, 0, 0, 0, 8, 0, 0, 0};
uint8_t g_out[1024];
unsigned g_word, g_word2;

std::vector<uint8_t> PartitionBlock() {
    std::vector<uint8_t> block(KW_SPI_PARTITION_BLOCK, 0);
    T_SPI_PARTITION_ENTRY entry{1, 2.5f, {0, 0, 0, 0}};
    std::memcpy(block.data(), &entry, sizeof entry);
    return block;
}

std::vector<CommandCase> CommandTable() {
    return {
        {"SwitchUSBHighSpeed", [](unsigned n) { return KW_SwitchUSBHighSpeed(n); }, {{1, 0, 0, 0, 0, {}}}},
        {"SwitchUSBHighSpeedAsyn", [](unsigned n) { return KW_SwitchUSBHighSpeedAsyn(n); }, {{1, 0, 0, 0, 0, {}}}},
        {"TestConnection", [](unsigned n) { return KW_TestConnection(n); }, {{2, 0, 75, 87, 0, {}}}},
        {"SetMode", [](unsigned n) { return KW_SetMode(n, T_MODE_CONTROL{5, 1, 1, 0}); },
         {{3, 0, 0x00010105, 0, 0, {}}}},
        {"GetFlashID", [](unsigned n) { return KW_GetFlashID(n, 254, 254, &g_word, &g_word2); },
         {{4, 1, 254, 254, 8, {}}}},
        {"SetNandParam", [](unsigned n) { return KW_SetNandParam(n, &kNand); }, {{5, 2, 0, 0, 36, Bytes(kNand, 36)}}},
        {"InitSecArea", [](unsigned n) { return KW_InitSecArea(n, 7); }, {{7, 0, 7, 0, 0, {}}}},
        {"SetResvAreaSize", [](unsigned n) { return KW_SetResvAreaSize(n, 10, 20); }, {{8, 0, 10, 20, 0, {}}}},
        {"CreatePartion", [](unsigned n) { return KW_CreatePartion(n, kTable.data(), 10); }, {{9, 2, 0, 0, 10, kTable}}},
        {"CreatePartion_SpiFlash",
         [](unsigned n) {
             T_SPI_PARTITION_ENTRY entry{1, 2.5f, {0, 0, 0, 0}};
             return KW_CreatePartion_SpiFlash(n, &entry, 1);
         },
         {{9, 2, 0, 0, 1024, PartitionBlock()}}},
        {"FormatDriver", [](unsigned n) { return KW_FormatDriver(n, &kFormat); }, {{10, 2, 0, 0, 20, Bytes(kFormat)}}},
        {"MountDriver", [](unsigned n) { return KW_MountDriver(n, "BC", 2); }, {{11, 2, 0, 0, 2, {'B', 'C'}}}},
        {"SetGPIO", [](unsigned n) { return KW_SetGPIO(n, &kGpio); }, {{32, 2, 0, 0, 8, {3, 0, 0, 0, 1, 0, 0, 0}}}},
        {"ResetDevice", [](unsigned n) { return KW_ResetDevice(n); }, {{33, 0, 0, 0, 0, {}}}},
        {"Close", [](unsigned n) { return KW_Close(n); }, {{34, 0, 0, 0, 0, {}}}},
        {"DownloadDataToRam", [](unsigned n) { return KW_DownloadDataToRam(n, 0x80000000, kRam.data(), 3); },
         {{36, 0, 0x80000000, 3, 0, {}}, {37, 2, 0x80000000, 3, 3, kRam}}},
        {"GetDiskInfo", [](unsigned n) { return KW_GetDiskInfo(n, g_out); }, {{39, 1, 0, 0, 512, {}}}},
        {"GetRegValue", [](unsigned n) { return KW_GetRegValue(n, 0x20000010, &g_word); }, {{42, 0, 0x20000010, 0, 0, {}}}},
        {"GetRegValue_10T", [](unsigned n) { return KW_GetRegValue_10T(n, 0x20000014, &g_word); },
         {{42, 0, 0x20000014, 0, 0, {}}}},
        {"SetSPIParam", [](unsigned n) { return KW_SetSPIParam(n, &kSpi); }, {{49, 2, 0, 0, 60, Bytes(kSpi)}}},
        {"GetFlash_HighID", [](unsigned n) { return KW_GetFlash_HighID(n, 1, 2, &g_word); }, {{50, 1, 1, 2, 4, {}}}},
        {"GetFsStartPos", [](unsigned n) { return KW_GetFsStartPos(n, &g_word); }, {{51, 1, 0, 0, 4, {}}}},
        {"Set_Erase_One_Block", [](unsigned n) { return KW_Set_Erase_One_Block(n, 12); }, {{55, 0, 12, 0, 0, {}}}},
        {"Write_OTP_Serial", [](unsigned n) { return KW_Write_OTP_Serial(n, kSerial.data(), 4); },
         {{55, 2, 0, 0, 4, kSerial}}},
        {"Read_OTP_Serial", [](unsigned n) { return KW_Read_OTP_Serial(n, g_out, 16); }, {{56, 1, 0, 0, 16, {}}}},
        {"Set_Ex_Parameter", [](unsigned n) { return KW_Set_Ex_Parameter(n, 3); }, {{57, 0, 3, 0, 0, {}}}},
        {"Erase_Partition_Size", [](unsigned n) { return KW_Erase_Partition_Size(n, 1, 2); }, {{60, 0, 1, 2, 0, {}}}},
        {"Check_producer", [](unsigned n) { return KW_Check_producer(n, 3, 4); }, {{61, 0, 3, 4, 0, {}}}},
        {"Setvalue_forupload_orspimake", [](unsigned n) { return KW_Setvalue_forupload_orspimake(n, 4); },
         {{83, 0, 4, 0, 0, {}}}},
        {"GetRamValue", [](unsigned n) { return KW_GetRamValue(n, 0x100, 2, g_out, 64); }, {{101, 1, 0x100, 2, 64, {}}}},
        {"SetBurnedParam", [](unsigned n) { return KW_SetBurnedParam(n, &kBurned); },
         {{104, 2, 0, 0, 24, Bytes(kBurned)}}},
        {"SetNandGpioCe", [](unsigned n) { return KW_SetNandGpioCe(n, &kChipSelect); }, {{105, 2, 0, 0, 3, {0, 1, 2}}}},
        {"ReadASAFile", [](unsigned n) { return KW_ReadASAFile(n, kAsaRequest.data(), g_out, 32); },
         {{106, 2, 0, 0, 8, kAsaRequest}, {106, 1, 0, 0, 32, {}}}},
        {"GetMediumStruct", [](unsigned n) { return KW_GetMediumStruct(n, g_out, 128); }, {{110, 1, 0, 0, 128, {}}}},
        {"SetEraseMode", [](unsigned n) { return KW_SetEraseMode(n, 1); }, {{111, 0, 1, 0, 0, {}}}},
        {"Set_BinResvSize", [](unsigned n) { return KW_Set_BinResvSize(n, 2); }, {{112, 0, 2, 0, 0, {}}}},
    };
}

class UsbCommand : public UsbTransport, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(UsbCommand, SendsItsCodeDirectionParametersAndData) {
    const CommandCase& c = GetParam();
    unsigned nID = Attach(L"usb:1-4");
    ASSERT_EQ(nID, 1u);
    size_t before = fakeusb::Transactions().size();
    ASSERT_EQ(c.call(nID), 1u);
    auto sent = Since(before);
    ASSERT_EQ(sent.size(), c.transactions.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        const Expected& e = c.transactions[i];
        SCOPED_TRACE("transaction " + std::to_string(i));
        EXPECT_EQ(sent[i].code, e.code);
        EXPECT_EQ(sent[i].direction, e.direction);
        EXPECT_EQ(sent[i].param1, e.param1);
        EXPECT_EQ(sent[i].param2, e.param2);
        EXPECT_EQ(sent[i].length, e.length);
        if (e.direction == 2) {
            EXPECT_EQ(sent[i].sent, e.sent);
        }
    }
}

TEST_P(UsbCommand, FailsWhenTheBoardReportsFailure) {
    unsigned nID = Attach(L"usb:1-4");
    fakeusb::FailCode(GetParam().transactions.back().code);
    EXPECT_EQ(GetParam().call(nID), 0u);
    EXPECT_NE(TransferLog().find("fail: simulated failure"), std::string::npos);
}

TEST_P(UsbCommand, SendsNothingWithoutADevice) {
    // Channel 2 has no device (the SPI partition call reports that as 9); 40 is beyond the count.
    EXPECT_NE(GetParam().call(2), 1u);
    EXPECT_EQ(GetParam().call(40), 0u);
    EXPECT_TRUE(fakeusb::Transactions().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, UsbCommand, ::testing::ValuesIn(CommandTable()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- answers from the board reach the caller ----

TEST_F(UsbTransport, ReadsReturnTheBoardsAnswer) {
    unsigned nID = Attach(L"usb:1-4");
    fakeusb::SetAnswer(4, {0xEF, 0x40, 0x17, 0x00, 2, 0, 0, 0});
    fakeusb::SetAnswer(50, {0x78, 0x56, 0x34, 0x12});
    fakeusb::SetRegister(0x20000010, 0xCAFEF00D);
    unsigned id = 0, count = 0, high = 0, value = 0;
    ASSERT_EQ(KW_GetFlashID(nID, 254, 254, &id, &count), 1u);
    EXPECT_EQ(id, 0x1740EFu);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(KW_GetFlash_HighID(nID, 0, 0, &high), 1u);
    EXPECT_EQ(high, 0x12345678u);
    ASSERT_EQ(KW_GetRegValue(nID, 0x20000010, &value), 1u);
    EXPECT_EQ(value, 0xCAFEF00Du);
    fakeusb::SetAnswer(101, {0x11, 0x22, 0x33});
    uint8_t ram[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(KW_GetRamValue(nID, 0x80000000, 1, ram, sizeof ram), 1u);
    EXPECT_EQ(std::vector<uint8_t>(ram, ram + 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0}));
    // Missing output pointers are refused before anything is sent.
    size_t before = fakeusb::Transactions().size();
    EXPECT_EQ(KW_GetFlashID(nID, 254, 254, nullptr, &count), 0u);
    EXPECT_EQ(KW_GetRegValue(nID, 0x20000010, nullptr), 0u);
    EXPECT_EQ(KW_GetRamValue(nID, 0x80000000, 1, nullptr, 4), 0u);
    EXPECT_EQ(fakeusb::Transactions().size(), before);
}

// ---- SPI partition creation ----

TEST_F(UsbTransport, PartitionTableIsCheckedBeforeAnythingIsSent) {
    unsigned nID = Attach(L"usb:1-4");
    std::vector<T_SPI_PARTITION_ENTRY> entries(27, T_SPI_PARTITION_ENTRY{1, 1.0f, {0, 0, 0, 0}});
    entries[2].size = 0.0f;
    EXPECT_EQ(KW_CreatePartion_SpiFlash(nID, entries.data(), 3), 0u);  // a zero size
    entries[2].size = -0.0f;
    EXPECT_EQ(KW_CreatePartion_SpiFlash(nID, entries.data(), 3), 0u);
    entries[2].size = 1.0f;
    EXPECT_EQ(KW_CreatePartion_SpiFlash(nID, entries.data(), 27), 0u);  // more than the block holds
    EXPECT_EQ(KW_CreatePartion_SpiFlash(nID, nullptr, 1), 0u);
    EXPECT_TRUE(fakeusb::Transactions().empty());
    EXPECT_NE(TransferLog().find("partition 2 has size 0"), std::string::npos);
    EXPECT_EQ(KW_CreatePartion_SpiFlash(nID, entries.data(), 26), 1u);  // platform 2: no polling
    EXPECT_EQ(KW_CreatePartion_SpiFlash(2, entries.data(), 1), 9u);     // no device
}

struct PollCase {
    const char* name;
    std::vector<uint8_t> answers;  // first byte of each progress answer
    bool failPoll;                 // the progress command itself fails
    unsigned result;
    unsigned progressSteps;
    friend std::ostream& operator<<(std::ostream& os, const PollCase& c) { return os << c.name; }
};

class PartitionPolling : public UsbTransport, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PartitionPolling, PollsUntilTheBoardIsDone) {
    const PollCase& c = GetParam();
    T_CORVEL_PARA linuxPlatform{0, 1, SOC_FA_V8};
    ASSERT_EQ(KW_SetCorvelParam(0, &linuxPlatform), 1u);
    unsigned nID = Attach(L"usb:1-4");
    for (uint8_t a : c.answers) fakeusb::QueueAnswer(102, {a, 0, 0, 0});
    if (c.failPoll) fakeusb::FailCode(102);
    g_progressCalls = 0;
    T_SPI_PARTITION_ENTRY entry{1, 4.0f, {0, 0, 0, 0}};
    EXPECT_EQ(KW_CreatePartion_SpiFlash(nID, &entry, 1), c.result);
    T_CORVEL_PARA rtos{0, 2, SOC_FA_V8};
    KW_SetCorvelParam(0, &rtos);

    auto sent = fakeusb::Transactions();
    size_t polls = c.failPoll ? 1 : c.answers.size();
    ASSERT_EQ(sent.size(), 1 + polls);
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].code, 102u);
        EXPECT_EQ(sent[i].direction, 1u);
        EXPECT_EQ(sent[i].length, 4u);
    }
    EXPECT_EQ(g_progressCalls.load(), c.progressSteps);
    if (c.progressSteps > 0) {
        EXPECT_EQ(g_progressBytes.load() % 32768, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, PartitionPolling,
                         ::testing::Values(PollCase{"DoneAtOnce", {1}, false, 1, 0},
                                           PollCase{"DoneAfterTwoBusy", {0, 7, 1}, false, 1, 2},
                                           PollCase{"FailedAfterOneBusy", {0, 2}, false, 0, 1},
                                           PollCase{"PollRefused", {}, true, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- register writes on attach ----

struct AttachWriteCase {
    unsigned chip;
    bool secure;
    std::vector<std::pair<unsigned, unsigned>> writes;
    friend std::ostream& operator<<(std::ostream& os, const AttachWriteCase& c) {
        return os << "type " << c.chip << (c.secure ? " secure" : "");
    }
};

class AttachWrites : public UsbTransport, public ::testing::WithParamInterface<AttachWriteCase> {};

TEST_P(AttachWrites, ByChipType) {
    const AttachWriteCase& c = GetParam();
    KW_Secuse_boot_flag(c.secure ? 2 : 0);
    ASSERT_EQ(Attach(L"usb:1-4", static_cast<E_CHIP_TYPE>(c.chip)), 1u);
    std::vector<std::pair<unsigned, unsigned>> writes;
    for (const auto& t : fakeusb::Transactions()) {
        EXPECT_EQ(t.code, 35u);
        EXPECT_EQ(t.direction, 0u);
        writes.emplace_back(t.param1, t.param2);
    }
    EXPECT_EQ(writes, c.writes);
}

const std::pair<unsigned, unsigned> kClock{0x08000034, 0xC20003E0}, kBootEnable{0x080000E8, 0xAA000000};
INSTANTIATE_TEST_SUITE_P(Chips, AttachWrites,
                         ::testing::Values(AttachWriteCase{7, false, {kClock, kBootEnable}},
                                           AttachWriteCase{8, false, {kBootEnable}},
                                           AttachWriteCase{9, false, {kBootEnable}},
                                           AttachWriteCase{9, true, {}},
                                           AttachWriteCase{10, true, {kBootEnable}},
                                           AttachWriteCase{11, false, {kBootEnable}},
                                           AttachWriteCase{2, false, {}},
                                           AttachWriteCase{6, false, {}}),
                         [](const auto& info) {
                             return "Type" + std::to_string(info.param.chip) + (info.param.secure ? "Secure" : "");
                         });

// ---- attach failures ----

TEST_F(UsbTransport, FailedAttachClosesTheDeviceAndSaysWhy) {
    struct Case {
        unsigned chip;
        unsigned failingCode;
        fakeusb::OpenResult open;
        const char* logLine;
    };
    const Case cases[] = {
        {7, 35, fakeusb::OpenResult::Ok, "KW_AttachUSB: KW_SetReg 0x08000034 fail\r\n"},
        {8, 35, fakeusb::OpenResult::Ok, "KW_AttachUSB: KW_SetReg regAddr fail\r\n"},
        {8, 0, fakeusb::OpenResult::Null, "KW_AttachUSB: hHandle  0\r\n"},
        {8, 0, fakeusb::OpenResult::Invalid, "KW_AttachUSB: KW_OpenUSB fail: simulated failure\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        fakeusb::Reset();
        fakeusb::SetOpenResult(c.open);
        if (c.failingCode != 0) fakeusb::FailCode(c.failingCode);
        EXPECT_EQ(Attach(L"usb:1-4", static_cast<E_CHIP_TYPE>(c.chip)), 0u);
        EXPECT_EQ(fakeusb::OpenDevices(), 0u);
        EXPECT_NE(TransferLog().find(c.logLine), std::string::npos);
    }
    EXPECT_EQ(KW_AttachUSB(nullptr, 0, SOC_FA_V8), 0u);
    EXPECT_EQ(KW_AttachUSB(L"usb:1-4", KW_USB_TYPE_NONE, SOC_FA_V8), 0u);
    EXPECT_NE(TransferLog().find("KW_AttachUSB: input para is null\r\n"), std::string::npos);
    // The channel stays free for the next board.
    fakeusb::Reset();
    EXPECT_EQ(Attach(L"usb:1-4"), 1u);
}

TEST_F(UsbTransport, WithoutBindingABoardTakesTheFirstFreeChannelUntilNoneIsLeft) {
    for (unsigned port = 1; port <= 4; ++port) EXPECT_EQ(Attach(L"usb:1-" + std::to_wstring(port)), port);
    EXPECT_EQ(Attach(L"usb:1-5"), 0u);
    EXPECT_EQ(fakeusb::OpenDevices(), 4u);  // the refused one was closed
    EXPECT_NE(TransferLog().find("KW_AttachUSB: g_bBurnAttachUSBMode\r\n"), std::string::npos);
    EXPECT_EQ(KW_WaitUSBAttach(4), 1u);  // the attach signalled the channel
}

// In bind mode a channel keeps the port its first board came in on.
TEST_F(UsbTransport, BindModeKeepsEachPortOnItsChannel) {
    ASSERT_EQ(KW_Init(2, Burn, Progress), 1u);
    KW_Is_Bind_channels_flag(1);
    fakeusb::SetDevices({{3, {2}, 5, 0x1234, 909, 0, true},
                         {3, {1, 4}, 6, 0x1234, 909, 0, true},
                         {3, {3}, 7, 0x1234, 909, 0, true},
                         {3, {1}, 8, 0x1234, 0x2222, 9, true}});
    EXPECT_EQ(Attach(L"usb:3-2"), 1u);
    EXPECT_EQ(Attach(L"/dev/bus/usb/003/006"), 2u);  // a device node names the board at usb:3-1.4
    KW_DetachUSB(L"usb:3-2", 0);
    KW_DetachUSB(L"/dev/bus/usb/003/006", 0);
    EXPECT_EQ(fakeusb::OpenDevices(), 0u);

    // Re-plugged in the opposite order, each returns to its own channel.
    EXPECT_EQ(Attach(L"usb:3-1.4"), 2u);
    EXPECT_EQ(Attach(L"usb:3-2"), 1u);
    // Back on its port without a detach (re-enumerated): same channel, the old handle closed.
    EXPECT_EQ(Attach(L"usb:3-2"), 1u);
    EXPECT_EQ(fakeusb::OpenDevices(), 2u);
    // A third port finds no channel without a port of its own.
    KW_DetachUSB(L"usb:3-2", 0);
    EXPECT_EQ(Attach(L"usb:3-3"), 0u);
    EXPECT_NE(TransferLog().find("KW_AttachUSB: g_bBurnAttachUSBMode\r\n"), std::string::npos);
    // A board that is not in the device list has no port location.
    EXPECT_EQ(Attach(L"usb:3-9"), 0u);
    EXPECT_NE(TransferLog().find("KW_AttachUSB: EnumerateHostControllers hostRet <= 0\r\n"), std::string::npos);
    EXPECT_EQ(Attach(L"not-a-usb-path"), 0u);
    EXPECT_NE(TransferLog().find("KW_AttachUSB: GetPNPDriverIDByDriverName KW_FAIL\r\n"), std::string::npos);
    EXPECT_EQ(fakeusb::OpenDevices(), 1u);  // only the board on channel 2
    KW_Is_Bind_channels_flag(0);
}

// ---- detach ----

TEST_F(UsbTransport, DetachComparesNamesWithAllButTheFirstCharacterInLowerCase) {
    ASSERT_EQ(Attach(L"usb:1-4"), 1u);
    EXPECT_EQ(KW_DetachUSB(L"Usb:1-4", 0), 0u);  // the first character counts as it stands
    EXPECT_EQ(KW_DetachUSB(L"usb:1-4", KW_USB_TYPE_NONE), 0u);
    EXPECT_EQ(KW_DetachUSB(nullptr, 0), 0u);
    EXPECT_EQ(fakeusb::OpenDevices(), 1u);
    KW_DetachUSB(L"uSB:1-4", 0);
    EXPECT_EQ(fakeusb::OpenDevices(), 0u);
    EXPECT_EQ(KW_TestConnection(1), 0u);  // the channel has no device any more
}

// ---- the worker closes the device after a burn ----

TEST_F(UsbTransport, BurnRunsOnTheAttachedBoardAndTheWorkerClosesIt) {
    ASSERT_EQ(Attach(L"usb:1-4"), 1u);
    g_burnResult = 0;
    ASSERT_EQ(KW_Start(), 1u);
    for (int i = 0; i < 500 && fakeusb::OpenDevices() != 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(fakeusb::OpenDevices(), 0u);
    EXPECT_EQ(g_burnResult.load(), 1u);
    auto sent = fakeusb::Transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].code, 2u);
    // The name stays until the board leaves; then the idle channel reports it.
    EXPECT_EQ(KW_DetachUSB(L"usb:1-4", 0), 1u);
}

// ---- channels that burn keep their boards ----

// A burn entry that runs `during` and then waits until the test lets it end.
struct HeldBurn {
    std::function<void(unsigned nID)> during;
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;

    bool WaitEntered() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return entered; });
    }
    void Release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};
HeldBurn* g_held = nullptr;
int HeldBurnEntry(unsigned nID) {
    HeldBurn& held = *g_held;
    if (held.during) held.during(nID);
    std::unique_lock lock(held.mutex);
    held.entered = true;
    held.changed.notify_all();
    held.changed.wait_for(lock, 10s, [&] { return held.released; });
    return 0;
}

// Waits until `done` holds, for at most five seconds.
bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// A board whose predecessor left in the middle of its burn must not take that
// channel: the end of the old burn would close it.
TEST_F(UsbTransport, BoardArrivingWhileAChannelStillBurnsTakesAFreeOne) {
    HeldBurn held;
    g_held = &held;
    ASSERT_EQ(KW_Init(2, HeldBurnEntry, Progress), 1u);
    ASSERT_EQ(Attach(L"usb:1-1"), 1u);
    ASSERT_EQ(KW_Start(), 1u);
    ASSERT_TRUE(held.WaitEntered());
    KW_DetachUSB(L"usb:1-1", 0);  // the board leaves; its burn has not returned yet
    EXPECT_EQ(Attach(L"usb:1-2"), 2u);
    held.Release();
    // Once the old burn has ended its channel is free again (a board refused
    // meanwhile is closed again); the new board kept its own.
    EXPECT_TRUE(Eventually([&] { return Attach(L"usb:1-3") == 1; }));
    EXPECT_EQ(fakeusb::OpenDevices(), 2u);
    g_held = nullptr;
}

// A serial pseudo-terminal that counts whether this process still holds it.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) ::ptsname_r(master_, name, sizeof name);
        path_ = name;
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
    }
    std::wstring Path() const { return std::wstring(path_.begin(), path_.end()); }
    bool HeldOpen() const {
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec))
            if (fs::read_symlink(fd.path(), ec) == path_) return true;
        return false;
    }

private:
    int master_ = -1;
    std::string path_;
};

// With serial and USB channels side by side, each worker closes its handle
// with its own transport, whichever kind was bound last.
TEST_F(UsbTransport, SerialAndUsbChannelsEachCloseWithTheirOwnTransport) {
    struct Case {
        const char* what;
        bool usbFirst;
        bool attachUart;  // else the serial port is only open for its prompt
    };
    const Case cases[] = {
        {"a USB board, then a serial port attached", true, true},
        {"a serial port waiting for its prompt, then a USB board", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakeusb::Reset();
        Pty pty;
        unsigned serialIndex = c.usbFirst ? 1 : 0;
        // The station's round: the port is opened again until the channel takes it.
        auto openSerial = [&] {
            return Eventually([&] { return KW_Start_Read(pty.Path().c_str(), serialIndex, SOC_FA_V5) == serialIndex + 1; });
        };
        auto bindSerial = [&] {
            ASSERT_TRUE(openSerial());
            if (c.attachUart) {
                ASSERT_EQ(KW_Attach_Uart(pty.Path().c_str(), 115200, serialIndex), serialIndex + 1);
            }
        };
        if (!c.usbFirst) bindSerial();
        unsigned usbChannel = Attach(L"usb:1-4");
        ASSERT_NE(usbChannel, 0u);
        ASSERT_NE(usbChannel, serialIndex + 1);
        if (c.usbFirst) bindSerial();
        ASSERT_TRUE(pty.HeldOpen());
        ASSERT_EQ(KW_Start(), 2u);
        EXPECT_TRUE(Eventually([&] { return fakeusb::OpenDevices() == 0 && !pty.HeldOpen(); }))
            << fakeusb::OpenDevices() << " USB device(s) open, serial port " << (pty.HeldOpen() ? "open" : "closed");
        EXPECT_TRUE(openSerial()) << "the serial channel was not free again";
        KW_Detach_Uart(pty.Path().c_str());
    }
}

// The attach that made a channel ready is not the board coming back during
// its burn; after a speed switch the board that comes back is, and it stays
// the burn's: no second burn starts on it and the worker closes it.
struct SwitchResults {
    unsigned staleWait = 99, switched = 99, detached = 99, reattached = 99, waited = 99, restart = 99, after = 99;
};
SwitchResults g_switch;
int SpeedSwitchBurn(unsigned nID) {
    g_switch.staleWait = KW_WaitUSBAttach(nID);
    T_CORVEL_PARA para{0, 2, SOC_FC_E1};
    KW_SetCorvelParam(0, &para);  // a burn runs: downloads are under way
    g_switch.switched = KW_SwitchUSBHighSpeed(nID);
    g_switch.detached = KW_DetachUSB(L"usb:3-2", 0);  // the board leaves the bus ...
    g_switch.reattached = KW_AttachUSB(L"usb:3-2", 0, SOC_FA_V8);  // ... and comes back at high speed
    g_switch.waited = KW_WaitUSBAttach(nID);
    g_switch.restart = KW_Start();
    g_switch.after = KW_TestConnection(nID);
    return 0;
}

TEST_F(UsbTransport, SpeedSwitchKeepsTheBurnAndItsBoardOnTheChannel) {
    ASSERT_EQ(KW_Init(2, SpeedSwitchBurn, Progress), 1u);
    KW_Is_Bind_channels_flag(1);
    KW_SetEventParam(1);
    fakeusb::SetDevices({{3, {2}, 5, 0x1234, 909, 0, true}});
    ASSERT_EQ(Attach(L"usb:3-2"), 1u);
    g_switch = {};
    ASSERT_EQ(KW_Start(), 1u);
    EXPECT_TRUE(Eventually([] { return fakeusb::OpenDevices() == 0 && g_switch.after != 99; }));
    EXPECT_EQ(g_switch.staleWait, 0u) << "the attach before the burn counted as the board coming back";
    EXPECT_EQ(g_switch.switched, 1u);
    EXPECT_EQ(g_switch.detached, 0u);  // the burn still counts on the channel
    EXPECT_EQ(g_switch.reattached, 1u);
    EXPECT_EQ(g_switch.waited, 1u);
    EXPECT_EQ(g_switch.restart, 0u) << "a second burn was started on the burning channel";
    EXPECT_EQ(g_switch.after, 1u);
    EXPECT_EQ(fakeusb::Transactions().back().code, 2u);
    KW_SetEventParam(30);
    KW_Is_Bind_channels_flag(0);
}

// A removal is reported by the port location; a board attached by its device
// node is found by it, and the other way round.
TEST_F(UsbTransport, DetachFindsTheBoardByEitherOfItsNames) {
    fakeusb::SetDevices({{3, {1, 4}, 6, 0x1234, 909, 0, true}});
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"/dev/bus/usb/003/006", L"usb:3-1.4"},
        {L"usb:3-1.4", L"/dev/bus/usb/003/006"},
    };
    for (const auto& [attachedAs, leftAs] : cases) {
        ASSERT_EQ(Attach(attachedAs), 1u);
        EXPECT_EQ(KW_DetachUSB(leftAs, 0), 1u) << "attached as " << fs::path(attachedAs) << ", left as " << fs::path(leftAs);
        EXPECT_EQ(fakeusb::OpenDevices(), 0u);
    }
}

// ---- counting boards ----

TEST_F(UsbTransport, CountsConfiguredBoardsOfTheVendorButNoHubs) {
    const uint16_t vid = 0x1234, other = 0x4321;
    fakeusb::SetDevices({
        {1, {1}, 2, vid, 909, 0, true},       // producer board
        {1, {2}, 3, vid, 910, 0, true},       // producer board
        {1, {3}, 4, vid, 1111, 0, true},      // the configured product ID
        {1, {4}, 5, vid, 1111, 0, false},     // not configured yet
        {1, {5}, 6, vid, 909, 9, true},       // a hub of the same vendor
        {2, {1}, 2, other, 909, 0, true},     // another vendor
        {2, {2}, 3, vid, 2222, 0, true},      // another product
        {2, {}, 1, vid, 909, 9, true},        // a root hub
    });
    EXPECT_EQ(KW_GetUSB_Num(1111, vid), 3u);
    EXPECT_EQ(KW_GetUSB_Num(2222, vid), 3u);
    EXPECT_EQ(KW_GetUSB_Num(1111, other), 1u);
    EXPECT_EQ(KW_GetUSB_Num(1111, 0x9999), 0u);
}

TEST_F(UsbTransport, DriveThatDoesNotExistIsNotAnotherDevice) {
    EXPECT_EQ(KW_DriverName_IsCurrentFlag(L"/no/such/mount/point", 909, 0x1234), 0u);
    EXPECT_EQ(KW_DriverName_IsCurrentFlag(nullptr, 909, 0x1234), 0u);
    // A folder on a disk that is not on USB.
    EXPECT_EQ(KW_DriverName_IsCurrentFlag(L"/", 909, 0x1234), 0u);
}

}  // namespace
