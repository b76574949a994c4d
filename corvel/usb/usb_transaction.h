#pragma once
// One USB transaction on a device handle through the USB access library.
#include "corvel/include/corvel.h"
#include "corvel/producer/command_table.h"

namespace corvel::usb {

using namespace corvel::producer;

enum Direction : unsigned { kNoData = 0, kFromBoard = 1, kToBoard = 2 };

// True when the access library is loaded and the transaction succeeded; a
// failure writes "<caller>: command <code> fail: <reason>" to the transfer log.
bool Commit(KW_HANDLE device, T_USB_CORVEL& command, const char* caller);

// Register write (code 35) on a device handle.
bool WriteRegister(KW_HANDLE device, unsigned address, unsigned value, const char* caller);

}  // namespace corvel::usb
