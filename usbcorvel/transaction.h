#pragma once
// One board transaction over a pair of bulk endpoints, independent of libusb so
// it can be driven by a simulated device.
#include "corvel/core/command_block.h"
#include "corvel/producer/command_table.h"
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
// The status wait of a code the producer does not list.
constexpr unsigned kStatusTimeoutMs = 30000;
// Draining what a failed transaction left on bulk-in: each read waits this
// long, and at most this many reads are made.
constexpr unsigned kDrainTimeoutMs = 50;
constexpr unsigned kMaxDrainReads = 64;

// How long the status of a command may take: the USB wait of its row in the
// producer's command table (erasing, formatting and partitioning answer only
// when the work is done, minutes later on a large part).
unsigned StatusTimeoutMs(uint32_t code);

// The two bulk endpoints of a device. Each call moves at most `size` bytes and
// reports a failure in words in `error`.
class BulkPipe {
public:
    virtual ~BulkPipe() = default;
    virtual bool Write(const uint8_t* data, size_t size, unsigned timeoutMs, std::string& error) = 0;
    // `received` may be less than `size` when the device ends the transfer early.
    virtual bool Read(uint8_t* data, size_t size, size_t& received, unsigned timeoutMs, std::string& error) = 0;
    // Clears a halt (stall) of both endpoints.
    virtual bool ClearHalts(std::string& error) = 0;
};

// The transactions of one open device, in order. Each is the block, the data
// phase and the status; it succeeds only when all three did and the status
// reports success, filling command.data (direction 1) and command.result
// (code 42).
//
// A transaction that fails part-way (no status in time, a data phase cut off,
// a block not taken) leaves the pipe out of step: the late status of that
// command would be read as the answer to the next one, so a command the board
// failed would pass. After such a failure what is left on bulk-in is drained,
// the halts are cleared, and every later command is refused until the device
// is opened again. A board that answers a command with failure leaves the pipe
// in step.
class Session {
public:
    explicit Session(BulkPipe& pipe) : pipe_(pipe) {}
    bool Commit(T_USB_CORVEL& command, std::string& error);
    bool OutOfStep() const { return outOfStep_; }
    // Drains bulk-in and clears the halts: after a failure part-way, and when
    // the device is opened, so that an answer a failed session left behind
    // (it may arrive long after) is not read as the first one of this session.
    void Resynchronise();

private:

    BulkPipe& pipe_;
    bool outOfStep_ = false;
};

}  // namespace usbcorvel
