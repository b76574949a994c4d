#pragma once
// What the USB exports share: the device a channel has, and the register
// write a freshly attached board needs before it has a channel.
#include "corvel/include/corvel.h"

namespace corvel::usb {

// The channel's device handle when `nID` is in range and a device is attached, else nullptr.
KW_HANDLE DeviceOf(unsigned nID);

// Register write (code 35) on a device handle.
bool WriteRegister(KW_HANDLE device, unsigned address, unsigned value, const char* caller);

}  // namespace corvel::usb
