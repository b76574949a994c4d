#include "usbcorvel/transaction.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace usbcorvel {
namespace {

using corvel::LE32;

constexpr uint32_t kNoData = 0, kFromBoard = 1, kToBoard = 2;

bool WriteAll(BulkPipe& pipe, const uint8_t* data, size_t size, unsigned timeoutMs, std::string& error) {
    for (size_t done = 0; done < size;) {
        size_t piece = std::min(kMaxPieceSize, size - done);
        if (!pipe.Write(data + done, piece, timeoutMs, error)) return false;
        done += piece;
    }
    return true;
}

bool ReadAll(BulkPipe& pipe, uint8_t* data, size_t size, std::string& error) {
    for (size_t done = 0; done < size;) {
        size_t piece = std::min(kMaxPieceSize, size - done);
        size_t received = 0;
        if (!pipe.Read(data + done, piece, received, kDataTimeoutMs, error)) return false;
        if (received == 0) {
            error = "the board sent " + std::to_string(done) + " of " + std::to_string(size) + " data bytes";
            return false;
        }
        done += received;
    }
    return true;
}

// Whether the status of `code` carries the command's result (a register read).
bool StatusCarriesValue(uint32_t code) {
    const corvel::producer::Command* command = corvel::producer::FindCommand(code);
    return command != nullptr && command->reply == corvel::producer::Reply::ValueInStatus;
}

}  // namespace

unsigned StatusTimeoutMs(uint32_t code) {
    const corvel::producer::Command* command = corvel::producer::FindCommand(code);
    return command != nullptr ? static_cast<unsigned>(command->wait.usb.count()) : kStatusTimeoutMs;
}


bool Session::Commit(T_USB_CORVEL& command, std::string& error) {
    if (outOfStep_) {
        error = "an earlier command on this device failed part-way, so its answers can no longer be told "
                "apart; close the device and open it again";
        return false;
    }
    if (command.direction > kToBoard) {
        error = "direction " + std::to_string(command.direction) + " is neither 0, 1 nor 2";
        return false;
    }
    bool hasData = command.direction != kNoData && command.length > 0;
    if (hasData && command.data == nullptr) {
        error = "a data phase of " + std::to_string(command.length) + " bytes without a buffer";
        return false;
    }
    // From the block on, a failure leaves the pipe out of step.
    outOfStep_ = true;
    auto failPartWay = [this] {
        Resynchronise();
        return false;
    };
    uint8_t block[kCommandBlockSize];
    BuildCommandBlock(command, block);
    if (!pipe_.Write(block, sizeof block, kBlockTimeoutMs, error)) return failPartWay();

    auto* data = static_cast<uint8_t*>(command.data);
    if (hasData && command.direction == kToBoard && !WriteAll(pipe_, data, command.length, kDataTimeoutMs, error))
        return failPartWay();
    if (hasData && command.direction == kFromBoard && !ReadAll(pipe_, data, command.length, error))
        return failPartWay();

    uint8_t status[kStatusSize] = {};
    size_t received = 0;
    if (!pipe_.Read(status, sizeof status, received, StatusTimeoutMs(command.code & 0xFF), error))
        return failPartWay();
    if (received != kStatusSize) {
        error = "status of " + std::to_string(received) + " bytes instead of " + std::to_string(kStatusSize);
        return failPartWay();
    }
    outOfStep_ = false;
    if (status[0] == 0) {
        error = "the board reported failure for command " + std::to_string(command.code & 0xFF);
        return false;
    }
    if (StatusCarriesValue(command.code)) command.result = LE32(status + 4);
    error.clear();
    return true;
}

void Session::Resynchronise() {
    std::vector<uint8_t> sink(kMaxPieceSize);
    std::string ignored;
    for (unsigned i = 0; i < kMaxDrainReads; ++i) {
        size_t received = 0;
        if (!pipe_.Read(sink.data(), sink.size(), received, kDrainTimeoutMs, ignored) || received == 0) break;
    }
    pipe_.ClearHalts(ignored);
}

}  // namespace usbcorvel
