#pragma once
// The framed command layer of the producer: 31-byte command blocks, data
// phases with per-chunk acknowledgements, and the wait for a status reply.
#include "corvel/core/command_block.h"
#include "corvel/include/corvel.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvel::uart {

using namespace std::chrono_literals;

constexpr auto kAfterCommandBlock = 5ms;
constexpr auto kAckTimeout = 10000ms;

// Chunk size of uploads and data phases for the current link rate.
size_t LinkChunkSize();

// Fills `buffer` with the next `size` bytes of a data phase; false when the
// source cannot deliver them.
using DataSource = std::function<bool(uint8_t* buffer, size_t size)>;

// Sends one command: the block, then (direction 2) its data phase from
// `source`. Does not wait for the final status. False on a write failure or a
// missing or failed acknowledgement.
bool SendCommand(unsigned nID, const T_USB_CORVEL& command, const DataSource& source = {});
// The data phase from memory.
bool SendCommand(unsigned nID, const T_USB_CORVEL& command, const void* data);

// Waits for the status reply of the last command; false (and a log line) when
// none arrived or it reports failure.
bool WaitStatus(unsigned index, std::chrono::milliseconds timeout);

}  // namespace corvel::uart
