#pragma once
// One board transaction over a pair of bulk endpoints, independent of libusb so
// it can be driven by a simulated device.
#include "corvel/core/command_block.h"
#include "corvel.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace usbcorvel {

using corvel::BuildCommandBlock;
using corvel::kCommandBlockSize;
constexpr size_t kStatusSize = 8;
constexpr size_t kMaxPieceSize = 64 * 1024;  // one bulk submission of a data phase
constexpr unsigned kBlockTimeoutMs = 5000;
constexpr unsigned kDataTimeoutMs = 10000;
// Erasing, formatting or partitioning a large flash answers only when done.
constexpr unsigned kStatusTimeoutMs = 30000;
constexpr uint32_t kRegisterReadCode = 42;

// The two bulk endpoints of a device. Each call moves at most `size` bytes and
// reports a failure in words in `error`.
class BulkPipe {
public:
    virtual ~BulkPipe() = default;
    virtual bool Write(const uint8_t* data, size_t size, unsigned timeoutMs, std::string& error) = 0;
    // `received` may be less than `size` when the device ends the transfer early.
    virtual bool Read(uint8_t* data, size_t size, size_t& received, unsigned timeoutMs, std::string& error) = 0;
};

// Block, data phase and status. True only when all three succeeded and the
// status reports success; fills command.data (direction 1) and command.result
// (code 42).
bool Commit(BulkPipe& pipe, T_USB_CORVEL& command, std::string& error);

}  // namespace usbcorvel
