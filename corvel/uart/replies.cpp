#include "corvel/uart/replies.h"

#include "corvel/core/library.h"
#include "corvel/producer/command_table.h"
#include "corvel/uart/uart_link.h"

#include <algorithm>
#include <array>

namespace corvel::uart {
namespace {

// How a frame counts while `code` is the channel's last command.
bool Answers(unsigned code, producer::Reply reply) {
    const producer::Command* command = producer::FindCommand(code);
    return command != nullptr && command->reply == reply;
}

}  // namespace

bool IsStatusCode(unsigned code) { return Answers(code, producer::Reply::Status); }
bool IsDataCode(unsigned code) { return Answers(code, producer::Reply::DataThenStatus); }

ReceivedData& Received(unsigned index) {
    static auto* received = new std::array<ReceivedData, KW_MAX_CHANNELS>;
    return (*received)[index];
}

void DispatchReply(unsigned index, const uint8_t* payload, size_t size) {
    BurnObject& ch = Lib().channels[index];
    unsigned code = ch.lastCommand.load();
    ReceivedData& received = Received(index);
    if (IsDataCode(code) && received.dataExpected.load()) {
        {
            std::lock_guard lock(received.mutex);
            received.bytes.assign(payload, payload + std::min(size, kReceiveBufferSize));
            received.present = true;
        }
        received.dataExpected = 0;
        Uart(index).Notify();
    } else if (IsStatusCode(code) || IsDataCode(code)) {
        // A payload too short to carry a status byte counts as a failure.
        ch.retFlag = size > kStatusOffset ? static_cast<int8_t>(payload[kStatusOffset]) : 0;
        ch.replyEvent.Set();
    }
}

}  // namespace corvel::uart
