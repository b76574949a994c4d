#include "corvel/uart/commands.h"

#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/uart/replies.h"
#include "corvel/uart/uart_link.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace corvel::uart {
namespace {

constexpr unsigned kDirectionToBoard = 2;

bool SendDataPhase(unsigned nID, uint32_t length, const DataSource& source) {
    unsigned index = nID - 1;
    size_t chunk = LinkChunkSize();
    std::vector<uint8_t> buffer(std::min<size_t>(chunk, length));
    for (size_t sent = 0; sent < length;) {
        size_t n = std::min<size_t>(chunk, length - sent);
        if (!source(buffer.data(), n)) return false;
        if (!SendBytes(index, buffer.data(), n)) return false;
        AddProgress(nID, static_cast<unsigned>(n));
        sent += n;
        if (sent < length) {
            // The producer acknowledges every chunk but the last.
            if (!WaitStatus(index, kAckTimeout)) return false;
            Uart(index).frameReception = 1;
        }
    }
    return true;
}

}  // namespace

size_t LinkChunkSize() { return Link().linkBaud.load() == kBootBaud ? 8192 : 16384; }

bool SendCommand(unsigned nID, const T_USB_CORVEL& command, const DataSource& source) {
    BurnObject& ch = Lib().channels[nID - 1];
    unsigned index = nID - 1;
    ch.lastCommand = command.code;
    // A reply that came after its own wait ended must not answer this command.
    ch.replyEvent.Reset();
    ch.retFlag = kNoReply;
    uint8_t block[kCommandBlockSize];
    BuildCommandBlock(command, block);
    Uart(index).frameReception = 1;
    if (!SendBytes(index, block, sizeof block)) return false;
    AddProgress(nID, kCommandBlockSize);
    std::this_thread::sleep_for(kAfterCommandBlock);
    if (command.direction == kDirectionToBoard && command.length > 0 && source)
        return SendDataPhase(nID, command.length, source);
    return true;
}

bool SendCommand(unsigned nID, const T_USB_CORVEL& command, const void* data) {
    auto* next = static_cast<const uint8_t*>(data);
    DataSource fromMemory = [&next](uint8_t* buffer, size_t size) {
        std::memcpy(buffer, next, size);
        next += size;
        return true;
    };
    return SendCommand(nID, command, data == nullptr ? DataSource{} : fromMemory);
}

bool WaitStatus(unsigned index, std::chrono::milliseconds timeout) {
    BurnObject& ch = Lib().channels[index];
    ch.replyEvent.WaitFor(timeout);
    ch.replyEvent.Reset();
    Uart(index).frameReception = 0;
    int status = ch.retFlag.exchange(kNoReply);
    if (status == static_cast<int>(kNoReply) || status == 0) {
        TransferLogf("g_ret_flag[%u] = %d\r\n", index, status);
        return false;
    }
    return true;
}

}  // namespace corvel::uart
