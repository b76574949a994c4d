#include "corvel/usb/usb_transport.h"

#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/platform/files.h"
#include "corvel/usb/usb_library.h"

namespace corvel::usb {

bool Commit(KW_HANDLE device, T_USB_CORVEL& command, const char* caller) {
    std::string why;
    const UsbAccess* access = AccessLibrary(why);
    if (access == nullptr) {
        TransferLogf("%s: %s\r\n", caller, why.c_str());
        return false;
    }
    if (access->CommitCorvel(device, &command) == 1) return true;
    producer::LogCommandFailure(caller, command.code, access->Reason());
    return false;
}

bool UsbTransport::SendBlock(const producer::Command&, const T_USB_CORVEL& command) {
    command_ = command;
    committed_ = result_ = false;
    return true;
}

bool UsbTransport::SendData(const producer::DataSource& source) {
    if (!platform::TryResize(out_, command_.length)) {
        TransferLogf("%s: no memory for a data phase of %u bytes\r\n", caller_, command_.length);
        return false;
    }
    if (!source(out_.data(), out_.size())) return false;
    command_.data = out_.data();
    return Commit();
}

bool UsbTransport::ReceiveData(uint8_t* buffer) {
    command_.data = buffer;
    return Commit();
}

bool UsbTransport::Status(uint32_t* value) {
    if (!committed_) Commit();
    if (result_ && value != nullptr) *value = command_.result;
    return result_;
}

bool UsbTransport::Commit() {
    committed_ = true;
    result_ = usb::Commit(device_, command_, caller_);
    if (result_ && countProgress_ && command_.direction != 0) AddProgress(nID_, command_.length);
    return result_;
}

}  // namespace corvel::usb
