#pragma once
// The USB access library as corvel uses it.
#include "corvel/include/corvel.h"
#include "usbcorvel/access_loader.h"

namespace corvel::usb {

using UsbAccess = usbcorvel::AccessCalls;

// The loaded library, or nullptr with the reason in `why`.
inline const UsbAccess* AccessLibrary(std::string& why) { return usbcorvel::LoadAccessLibrary(why); }

// Closes a USB device handle through the library (the worker's close after a burn).
void CloseDevice(KW_HANDLE handle);

}  // namespace corvel::usb
