#pragma once
// The producer over the serial link: 31-byte command blocks, data phases with
// an acknowledgement after every chunk but the last, and framed replies that
// the port's reader hands over (replies.h).
#include "corvel/core/command_block.h"
#include "corvel/include/corvel.h"
#include "corvel/producer/transport.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace corvel::uart {

using namespace std::chrono_literals;

constexpr auto kAfterCommandBlock = 5ms;
constexpr auto kAckTimeout = 10000ms;

// Chunk size of uploads and data phases for the current link rate.
size_t LinkChunkSize();

class SerialTransport : public producer::Transport {
public:
    // `caller` names the exported function in the transfer log.
    SerialTransport(unsigned nID, const char* caller) : nID_(nID), index_(nID - 1), caller_(caller) {}

    bool SendBlock(const producer::Command& row, const T_USB_CORVEL& command) override;
    bool SendData(const producer::DataSource& source) override;
    // The data reply carries the command's data from its fifth byte on.
    bool ReceiveData(uint8_t* buffer) override;
    bool Status(uint32_t* value) override;

private:
    unsigned nID_, index_;
    const char* caller_;
    const producer::Command* row_ = nullptr;
    T_USB_CORVEL command_{};
};

// Waits for the status reply of the last command; false (and a log line) when
// none arrived or it reports failure. `status` (may be null) receives what
// came: 2 nothing, 0 failure, else success.
bool WaitStatus(unsigned index, std::chrono::milliseconds timeout, int* status = nullptr);

}  // namespace corvel::uart
