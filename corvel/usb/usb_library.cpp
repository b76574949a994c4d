#include "corvel/usb/usb_library.h"

#include "corvel/core/transfer_log.h"

namespace corvel::usb {

void CloseDevice(KW_HANDLE handle) {
    std::string why;
    if (const UsbAccess* access = AccessLibrary(why)) access->CloseUSB(handle);
    else TransferLogf("KW_CloseUSB: %s\r\n", why.c_str());
}

}  // namespace corvel::usb
