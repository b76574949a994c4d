#pragma once
// Framed replies of the producer, as the reader hands them over: status replies
// set the channel's g_ret_flag and reply event; data replies fill the channel's
// receive buffer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace corvel::uart {

constexpr size_t kReceiveBufferSize = 8192;
constexpr size_t kStatusOffset = 16;  // payload byte that carries the status

bool IsStatusCode(unsigned code);
bool IsDataCode(unsigned code);

struct ReceivedData {
    std::atomic<unsigned> dataExpected{0};
    std::mutex mutex;
    std::vector<uint8_t> bytes;  // the last data reply, at most kReceiveBufferSize
    bool present = false;
};
ReceivedData& Received(unsigned index);

}  // namespace corvel::uart
