#include "corvel/uart/serial_transport.h"

#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/uart/replies.h"
#include "corvel/uart/uart_link.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace corvel::uart {
namespace {

constexpr size_t kDataReplyLead = 4;  // bytes of a data reply before the data

// Why a wait for `what` failed, in words: it never came, or it said failure.
std::string Missing(const std::string& what, int status, std::chrono::milliseconds wait) {
    if (status == 0) return "the board answered failure (" + what + ")";
    return "no " + what + " within " + std::to_string(wait.count()) + " ms";
}

}  // namespace

size_t LinkChunkSize() { return Link().linkBaud.load() == kBootBaud ? 8192 : 16384; }

bool SerialTransport::SendBlock(const producer::Command& row, const T_USB_CORVEL& command) {
    row_ = &row;
    command_ = command;
    BurnObject& ch = Lib().channels[index_];
    ch.lastCommand = command.code;
    if (row.reply == producer::Reply::DataThenStatus) {
        // The data reply comes first, into a buffer emptied for it.
        ReceivedData& received = Received(index_);
        {
            std::lock_guard lock(received.mutex);
            received.present = false;
            received.bytes.clear();
        }
        received.dataExpected = 1;
    }
    // A reply that came after its own wait ended must not answer this command.
    ch.replyEvent.Reset();
    ch.retFlag = kNoReply;
    uint8_t block[kCommandBlockSize];
    BuildCommandBlock(command, block);
    Uart(index_).frameReception = 1;
    if (!SendBytes(index_, block, sizeof block)) {
        producer::LogCommandFailure(caller_, command.code, "the port did not take its block");
        return false;
    }
    AddProgress(nID_, kCommandBlockSize);
    std::this_thread::sleep_for(kAfterCommandBlock);
    return true;
}

bool SerialTransport::SendData(const producer::DataSource& source) {
    uint32_t length = command_.length;
    size_t chunk = LinkChunkSize();
    std::vector<uint8_t> buffer(std::min<size_t>(chunk, length));
    for (size_t sent = 0; sent < length;) {
        size_t n = std::min<size_t>(chunk, length - sent);
        if (!source(buffer.data(), n)) {
            producer::LogCommandFailure(caller_, command_.code, "its data could not be read");
            return false;
        }
        if (!SendBytes(index_, buffer.data(), n)) {
            producer::LogCommandFailure(caller_, command_.code, "the port did not take its data");
            return false;
        }
        AddProgress(nID_, static_cast<unsigned>(n));
        sent += n;
        if (sent < length) {
            // The producer acknowledges every chunk but the last.
            int status;
            if (!WaitStatus(index_, kAckTimeout, &status)) {
                std::string ack = "acknowledgement of the data up to byte " + std::to_string(sent);
                producer::LogCommandFailure(caller_, command_.code, Missing(ack, status, kAckTimeout));
                return false;
            }
            Uart(index_).frameReception = 1;
        }
    }
    return true;
}

bool SerialTransport::ReceiveData(uint8_t* buffer) {
    BurnObject& ch = Lib().channels[index_];
    ReceivedData& received = Received(index_);
    UartChannel& link = Uart(index_);
    bool arrived = link.WaitUntil(row_->wait.serial, [&] {
        std::lock_guard lock(received.mutex);
        return received.dataExpected.load() == 0 && received.present;
    });
    if (!arrived) {
        received.dataExpected = 0;
        link.frameReception = 0;
        ch.retFlag = kNoReply;
        producer::LogCommandFailure(caller_, command_.code, Missing("data reply", kNoReply, row_->wait.serial));
        return false;
    }
    std::vector<uint8_t> data;
    {
        std::lock_guard lock(received.mutex);
        data = received.bytes;
    }
    // A reply too short to hold the data is no answer; its status still comes.
    if (data.size() < kDataReplyLead + command_.length) {
        producer::LogCommandFailure(caller_, command_.code,
                                    "a data reply of " + std::to_string(data.size()) + " bytes, " +
                                        std::to_string(kDataReplyLead + command_.length) + " expected");
        WaitStatus(index_, row_->wait.serial);
        return false;
    }
    std::memcpy(buffer, data.data() + kDataReplyLead, command_.length);
    return true;
}

bool SerialTransport::Status(uint32_t*) {
    int status;
    if (WaitStatus(index_, row_->wait.serial, &status)) return true;
    producer::LogCommandFailure(caller_, command_.code, Missing("status", status, row_->wait.serial));
    return false;
}

bool WaitStatus(unsigned index, std::chrono::milliseconds timeout, int* received) {
    BurnObject& ch = Lib().channels[index];
    ch.replyEvent.WaitFor(timeout);
    ch.replyEvent.Reset();
    Uart(index).frameReception = 0;
    int status = ch.retFlag.exchange(kNoReply);
    if (received != nullptr) *received = status;
    if (status == static_cast<int>(kNoReply) || status == 0) {
        TransferLogf("g_ret_flag[%u] = %d\r\n", index, status);
        return false;
    }
    return true;
}

}  // namespace corvel::uart
