// The access library's calls on this machine's real libusb: bad paths, absent
// devices and stale handles are refused with a reason, never a crash.
#include "usbcorvel.h"
#include "usbcorvel/access_loader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AccessLibrary, OpenRefusesWithAReason) {
    struct Case {
        const wchar_t* path;
        const char* reason;
    };
    const Case cases[] = {
        {L"COM3", "is no USB device path"},
        {L"usb:250-7.7", ""},  // no such device; the reason depends on whether libusb starts here
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KW_OpenUSB(c.path, 0), KW_INVALID_HANDLE);
        std::string reason = KW_GetUSBLastError();
        EXPECT_FALSE(reason.empty());
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
    EXPECT_EQ(KW_OpenUSB(nullptr, 0), KW_INVALID_HANDLE);
}

TEST(AccessLibrary, HandlesThatWereNeverOpenedAreRefused) {
    T_USB_CORVEL command{2, 0, 75, 87, nullptr, 0, 0};
    for (KW_HANDLE handle : {KW_INVALID_HANDLE, static_cast<KW_HANDLE>(nullptr), reinterpret_cast<KW_HANDLE>(0x1234)}) {
        EXPECT_EQ(KW_CommitCorvel(handle, &command), 0u);
        EXPECT_STREQ(KW_GetUSBLastError(), "not an open USB device handle");
        EXPECT_EQ(KW_CloseUSB(handle), 0u);
    }
}

TEST(AccessLibrary, VersionAndUnregisteringWithoutARegistration) {
    unsigned major = 0, minor = 99;
    KW_GetUSBLibVersion(&major, &minor);
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 0u);
    KW_GetUSBLibVersion(nullptr, nullptr);
    // Where libusb cannot start (no USB on the machine) this fails with a reason; else it succeeds without one.
    unsigned result = KW_RegisterDevice(nullptr, nullptr, 0, 0);
    EXPECT_EQ(result == 1, std::string(KW_GetUSBLastError()).empty()) << KW_GetUSBLastError();
}

}  // namespace

namespace {

// The program finds the access library where the build puts it, next to
// libcorvel.so, and reads its version for the about box.
TEST(AccessLoader, FindsTheLibraryNextToCorvel) {
    ::unsetenv("KESTROW_USBCORVEL");
    std::string why;
    const usbcorvel::AccessCalls* calls = usbcorvel::LoadAccessLibrary(why);
    ASSERT_NE(calls, nullptr) << why;
    unsigned major = 0, minor = 99;
    calls->GetUSBLibVersion(&major, &minor);
    EXPECT_EQ(major, USBCORVEL_VERSION_MAJOR);
    EXPECT_EQ(minor, USBCORVEL_VERSION_MINOR);
}

}  // namespace
