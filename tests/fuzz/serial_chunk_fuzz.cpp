// The serial reader's handling of what a board sends: echoes, boot prompts,
// the RAM-test marker and reply frames, in chunks of any size and content.
#include "corvel/core/library.h"
#include "corvel/uart/replies.h"
#include "corvel/uart/uart_link.h"

#include <algorithm>

using namespace corvel;
using namespace corvel::uart;

namespace {

constexpr unsigned kIndex = 0;

void Reset(UartChannel& ch) {
    ch.promptWait = 0;
    ch.promptSeen = 0;
    ch.capture = 0;
    ch.ramTestWait = 0;
    ch.ramTestFound = 0;
    ch.echoWait = 0;
    ch.echoAck = 0;
    ch.frameReception = 0;
    ch.promptText.Clear();
    ch.frames.Clear();
}

}  // namespace

// Input: a header of four bytes setting the reader's state (chip type, what it
// waits for, the last command sent, the expected echo), then chunks, each a
// length byte followed by that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    UartChannel& ch = Uart(kIndex);
    Reset(ch);
    Lib().chipType = data[0] % 13;
    ch.promptWait = data[1] & 1;
    ch.ramTestWait = (data[1] >> 1) & 1;
    ch.echoWait = (data[1] >> 2) & 1;
    ch.frameReception = (data[1] >> 3) & 1;
    Received(kIndex).dataExpected = (data[1] >> 4) & 1;
    Lib().channels[kIndex].lastCommand = data[2];
    ch.expectedEcho = data[3];
    data += 4;
    size -= 4;
    while (size > 0) {
        size_t n = std::min<size_t>(data[0], size - 1);
        ProcessChunk(kIndex, data + 1, n);
        data += 1 + n;
        size -= 1 + n;
    }
    Reset(ch);
    return 0;
}
