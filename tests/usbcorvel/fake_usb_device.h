#pragma once
// A simulated USB side for corvel's tests, built as a shared library that
// corvel loads in place of the USB access library ($KESTROW_USBCORVEL) and of
// libusb ($KESTROW_LIBUSB). It plays the producer on every device it opens:
// it records each transaction and answers with the status, data and register
// values a test sets; or, once asked, the virtual board's producer plays every
// device opened after that, over the bulk-pipe adapter of producer_pipe.h. The
// device list it enumerates is set by the test.
#include "tools/vboard/board_options.h"
#include "tools/vboard/producer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fakeusb {

struct Device {
    uint8_t bus = 1;
    std::vector<uint8_t> ports;
    uint8_t address = 2;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t deviceClass = 0;  // 9: a hub
    bool configured = true;
};

struct Transaction {
    uintptr_t handle;
    unsigned code, direction, param1, param2, length;
    std::vector<uint8_t> sent;  // the data phase of a direction 2 command
};

enum class OpenResult { Ok, Invalid, Null };

void Reset();
void SetDevices(std::vector<Device> devices);
void SetOpenResult(OpenResult result);
// The board reports failure for every command with this code.
void FailCode(unsigned code);
// Answered to register reads (code 42) in the status.
void SetRegister(unsigned address, unsigned value);
// Data returned for a direction 1 command; queued answers go first, one per
// transaction, then the fixed answer, then zeros.
void SetAnswer(unsigned code, std::vector<uint8_t> data);
void QueueAnswer(unsigned code, std::vector<uint8_t> data);
// The board reports failure for the transaction with this index (0: the
// first one since Reset), whatever its code.
void FailTransaction(size_t index);
// The data phase of the transaction with this index stops after `bytes`: the
// commit fails part-way and, as the access library does then, the handle
// refuses every later transaction.
void CutDataPhase(size_t index, size_t bytes);

// Devices opened from now on are played by the virtual board's producer
// (until Reset), with the transactions still recorded.
void PlayProducer(const vboard::BoardOptions& options);
// The producer of the device opened last: its flash and the commands it took.
std::vector<uint8_t> ProducerFlash();
std::vector<vboard::ReceivedCommand> ProducerCommands();

std::vector<Transaction> Transactions();
std::vector<std::wstring> OpenedPaths();
unsigned OpenDevices();  // opened and not yet closed

}  // namespace fakeusb
