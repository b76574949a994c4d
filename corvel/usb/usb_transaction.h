#pragma once
// One USB transaction on a device handle through the USB access library.
#include "corvel/include/corvel.h"

namespace corvel::usb {

enum Code : unsigned {
    kSwitchHighSpeed = 1,
    kTestConnection = 2,
    kSetMode = 3,
    kGetFlashID = 4,
    kSetNandParam = 5,
    kInitSecArea = 7,
    kSetResvAreaSize = 8,
    kCreatePartition = 9,
    kFormatDriver = 10,
    kMountDriver = 11,
    kSetGPIO = 32,
    kResetDevice = 33,
    kClose = 34,
    kSetReg = 35,
    kRamAnnounce = 36,
    kRamData = 37,
    kGetDiskInfo = 39,
    kGetRegValue = 42,
    kSetSPIParam = 49,
    kGetFlashHighID = 50,
    kGetFsStartPos = 51,
    kEraseOneBlockOrWriteOTP = 55,
    kReadOTP = 56,
    kSetExParameter = 57,
    kErasePartitionSize = 60,
    kCheckProducer = 61,
    kSetValueForUpload = 83,
    kGetRamValue = 101,
    kPartitionProgress = 102,
    kSetBurnedParam = 104,
    kSetNandGpioCe = 105,
    kReadASAFile = 106,
    kGetMediumStruct = 110,
    kSetEraseMode = 111,
    kSetBinResvSize = 112,
};
enum Direction : unsigned { kNoData = 0, kFromBoard = 1, kToBoard = 2 };

// True when the access library is loaded and the transaction succeeded; a
// failure writes "<caller>: command <code> fail: <reason>" to the transfer log.
bool Commit(KW_HANDLE device, T_USB_CORVEL& command, const char* caller);

// Register write (code 35) on a device handle.
bool WriteRegister(KW_HANDLE device, unsigned address, unsigned value, const char* caller);

}  // namespace corvel::usb
