#include "corvel/uart/replies.h"

#include "corvel/core/library.h"
#include "corvel/uart/uart_link.h"

#include <algorithm>
#include <array>

namespace corvel::uart {
namespace {

constexpr std::array<unsigned, 24> kStatusCodes = {2,  3,  5,  7,  9,  12, 13, 16,  17,  20,  21,  28,
                                                   34, 49, 53, 57, 58, 59, 60, 83, 104, 107, 111, 112};
constexpr std::array<unsigned, 7> kDataCodes = {4, 29, 43, 54, 106, 108, 109};

}  // namespace

bool IsStatusCode(unsigned code) {
    return std::find(kStatusCodes.begin(), kStatusCodes.end(), code) != kStatusCodes.end();
}
bool IsDataCode(unsigned code) { return std::find(kDataCodes.begin(), kDataCodes.end(), code) != kDataCodes.end(); }

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
