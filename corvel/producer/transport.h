#pragma once
// What the producer session needs of a link to a board's producer: a command
// block, a data phase out or in, and the command's status. The serial link
// (framed replies, an acknowledgement per chunk) and USB (one transaction
// through the USB access library) each implement it; the session above never
// learns which one it has.
#include "corvel/include/corvel.h"
#include "corvel/producer/command_table.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace corvel::producer {

// Fills `buffer` with the next `size` bytes of a data phase; false when the
// source cannot deliver them.
using DataSource = std::function<bool(uint8_t* buffer, size_t size)>;

// The transfer log's line for a command that failed: "<caller>: command
// <code> (<name>) fail: <why>".
void LogCommandFailure(const char* caller, unsigned code, std::string_view why);

class Transport {
public:
    virtual ~Transport() = default;
    // Starts `command`, whose row is `row`.
    virtual bool SendBlock(const Command& row, const T_USB_CORVEL& command) = 0;
    // The data phase to the board: the command's length, pulled from `source` as it goes out.
    virtual bool SendData(const DataSource& source) = 0;
    // The data phase from the board: the command's length into `buffer`.
    virtual bool ReceiveData(uint8_t* buffer) = 0;
    // The command's status. `value` (may be null) receives the 32-bit result a
    // status carries, where the transport has one.
    virtual bool Status(uint32_t* value) = 0;
};

}  // namespace corvel::producer
