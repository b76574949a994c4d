#pragma once
// The producer over USB: every command is one transaction through the USB
// access library, which carries the block, the data phase and the status.
#include "corvel/include/corvel.h"
#include "corvel/producer/transport.h"

#include <cstdint>
#include <vector>

namespace corvel::usb {

class UsbTransport : public producer::Transport {
public:
    // `caller` names the exported function in the transfer log. With
    // `countProgress` every data byte the board has taken or sent counts in
    // the channel's progress (the downloads); other commands count nothing.
    UsbTransport(unsigned nID, KW_HANDLE device, const char* caller, bool countProgress = false)
        : nID_(nID), device_(device), caller_(caller), countProgress_(countProgress) {}

    // The block travels with the rest of the transaction.
    bool SendBlock(const producer::Command& row, const T_USB_CORVEL& command) override;
    // Pulls the whole data phase from `source`, then commits.
    bool SendData(const producer::DataSource& source) override;
    bool ReceiveData(uint8_t* buffer) override;
    // Commits a command without a data phase; `value` receives the status's result.
    bool Status(uint32_t* value) override;

private:
    bool Commit();

    unsigned nID_;
    KW_HANDLE device_;
    const char* caller_;
    bool countProgress_;
    T_USB_CORVEL command_{};
    std::vector<uint8_t> out_;
    bool committed_ = false, result_ = false;
};

// One transaction on `device`: true when the access library is loaded and the
// transaction succeeded; a failure writes "<caller>: command <code> (<name>)
// fail: <reason>" to the transfer log.
bool Commit(KW_HANDLE device, T_USB_CORVEL& command, const char* caller);

}  // namespace corvel::usb
