#pragma once
// The USB access library (libusbcorvel.so), loaded on first use so that a
// station without it, or without libusb, still runs its serial channels.
#include "corvel/include/corvel.h"

#include <string>

namespace corvel::usb {

struct UsbAccess {
    KW_HANDLE (*OpenUSB)(const wchar_t* path, unsigned usbType);
    unsigned (*CommitCorvel)(KW_HANDLE handle, T_USB_CORVEL* command);
    unsigned (*CloseUSB)(KW_HANDLE handle);
    const char* (*LastError)();  // may be null in a library without it

    // Why the last call failed, or "" when the library does not say.
    std::string Reason() const;
};

// The loaded library, or nullptr with the reason in `why` ("cannot load
// libusbcorvel.so: ..."). A failed load is tried again on the next call, so
// installing the library needs no restart.
const UsbAccess* AccessLibrary(std::string& why);

// Closes a USB device handle through the library (the worker's close after a burn).
void CloseDevice(KW_HANDLE handle);

}  // namespace corvel::usb
