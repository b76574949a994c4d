// A station without the USB access library and without libusb: the USB
// functions fail with a clear line in the transfer log, and a board on a serial
// port is attached and burned as before.
#include "corvel.h"
#include "tests/usbcorvel/station_log.h"
#include "tools/vboard/virtual_board.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::atomic<unsigned> g_burned{0}, g_burnResult{0};

int BurnOverSerial(unsigned nID) {
    g_burnResult = KW_Uart_Setvalue(nID, "20000040", "12345678");
    ++g_burned;
    return 0;
}
void NoProgress(unsigned, unsigned) {}

class NoUsbLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        station_ = fs::temp_directory_path() / ("corvel-nousb-" + std::to_string(::getpid()));
        fs::create_directories(station_);
        ::setenv("KESTROW_STATION", station_.c_str(), 1);
        ::setenv("KESTROW_USBCORVEL", "/nonexistent/libusbcorvel.so", 1);
        ::setenv("KESTROW_LIBUSB", "/nonexistent/libusb-1.0.so.0", 1);
        ASSERT_EQ(KW_Init(2, BurnOverSerial, NoProgress), 1u);
    }
    void TearDown() override { fs::remove_all(station_); }
    std::string TransferLog() { return usbtest::TransferLogText(station_); }
    fs::path station_;
};

TEST_F(NoUsbLibrary, UsbFunctionsSayWhyTheyFail) {
    EXPECT_EQ(KW_AttachUSB(L"usb:1-2", 0, SOC_FC_E1), 0u);
    EXPECT_EQ(KW_GetUSB_Num(909, 0x1234), 0u);
    EXPECT_EQ(KW_TestConnection(1), 0u);
    std::string log = TransferLog();
    EXPECT_NE(log.find("KW_AttachUSB: USB is unavailable, the USB access library cannot be loaded: "
                       "/nonexistent/libusbcorvel.so"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("KW_GetUSB_Num: USB devices cannot be listed, libusb cannot be loaded"), std::string::npos)
        << log;
}

TEST_F(NoUsbLibrary, SerialBoardStillBurns) {
    KW_AttachUSB(L"usb:1-2", 0, SOC_FC_E1);  // a failed USB attach leaves the serial side alone
    vboard::BoardOptions options;
    options.chipType = SOC_FC_E1;
    vboard::VirtualBoard board(options);
    std::wstring port(board.PortPath().begin(), board.PortPath().end());
    KW_Secuse_boot_flag(0);
    T_CORVEL_PARA para{0, 2, SOC_FC_E1};
    KW_SetCorvelParam(0, &para);

    unsigned chosen = 2;
    for (int attempt = 0; attempt < 30 && chosen == 2; ++attempt) {
        ASSERT_EQ(KW_Start_Read(port.c_str(), 0, SOC_FC_E1), 1u);
        std::this_thread::sleep_for(30ms);
        chosen = KW_Choose_Baud(port.c_str(), 0, 115200);
    }
    ASSERT_EQ(chosen, 1u);
    ASSERT_EQ(KW_Attach_Uart(port.c_str(), 115200, 0), 1u);
    ASSERT_EQ(KW_Start(), 1u);
    for (int i = 0; i < 1000 && g_burned.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(g_burned.load(), 1u);
    EXPECT_EQ(g_burnResult.load(), 1u);
    EXPECT_EQ(board.Registers().at("20000040"), "12345678");
    // After the burn the worker closed the serial port: another channel can open it.
    bool reopened = false;
    for (int i = 0; i < 200 && !reopened; ++i) {
        reopened = KW_Start_Read(port.c_str(), 1, SOC_FC_E1) == 2;  // the nID of index 1
        if (!reopened) std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(reopened);
    // Channel 1 may still carry the name while its worker finishes the close,
    // so detach until channel 2's port is released too.
    for (int i = 0; i < 3; ++i) KW_Detach_Uart(port.c_str());
}

}  // namespace
