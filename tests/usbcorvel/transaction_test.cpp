// One transaction against a simulated device at the bulk endpoints: what goes
// out on bulk-out, what is read from bulk-in, and when the commit fails.
#include "usbcorvel/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>

namespace {

// Plays a device: records every bulk-out transfer, and answers bulk-in reads
// from a queue of prepared transfers. What is in `late` arrives just after a
// read has given up waiting, as the status of a long erase does.
class SimulatedDevice : public usbcorvel::BulkPipe {
public:
    std::vector<std::vector<uint8_t>> written;
    std::deque<std::vector<uint8_t>> toRead;
    std::deque<std::vector<uint8_t>> late;
    std::vector<unsigned> readTimeouts;  // of every bulk-in read, in order
    int failWriteAt = -1;  // index of the bulk-out transfer that fails
    int haltsCleared = 0;

    bool Write(const uint8_t* data, size_t size, unsigned, std::string& error) override {
        if (static_cast<int>(written.size()) == failWriteAt) {
            error = "bulk-out: timed out";
            return false;
        }
        written.emplace_back(data, data + size);
        return true;
    }
    bool Read(uint8_t* data, size_t size, size_t& received, unsigned timeoutMs, std::string& error) override {
        readTimeouts.push_back(timeoutMs);
        if (toRead.empty()) {
            toRead.swap(late);
            error = "bulk-in: timed out";
            return false;
        }
        std::vector<uint8_t> next = toRead.front();
        toRead.pop_front();
        received = std::min(size, next.size());
        std::copy_n(next.begin(), received, data);
        return true;
    }
    bool ClearHalts(std::string&) override {
        ++haltsCleared;
        return true;
    }
    static std::vector<uint8_t> Status(uint8_t ok, uint32_t value = 0) {
        return {ok, 0, 0, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    }
    void QueueStatus(uint8_t ok, uint32_t value = 0) { toRead.push_back(Status(ok, value)); }
};

// One transaction on a freshly opened device.
bool Commit(SimulatedDevice& device, T_USB_CORVEL& command, std::string& error) {
    usbcorvel::Session session(device);
    return session.Commit(command, error);
}

std::vector<uint8_t> Block(uint32_t length, uint8_t direction, uint8_t code, uint32_t p1, uint32_t p2) {
    std::vector<uint8_t> b(31, 0);
    for (int i = 0; i < 4; ++i) {
        b[8 + i] = static_cast<uint8_t>(length >> (8 * i));
        b[20 + i] = static_cast<uint8_t>(p1 >> (8 * i));
        b[24 + i] = static_cast<uint8_t>(p2 >> (8 * i));
    }
    b[12] = direction;
    b[16] = code;
    return b;
}

TEST(Transaction, CommandWithoutDataIsOneBlockAndAStatus) {
    SimulatedDevice device;
    device.QueueStatus(1);
    // Only the low byte of code and direction travel.
    T_USB_CORVEL command{0x102, 0, 75, 87, nullptr, 0, 0};
    std::string error;
    ASSERT_TRUE(Commit(device, command, error)) << error;
    ASSERT_EQ(device.written.size(), 1u);
    EXPECT_EQ(device.written[0], Block(0, 0, 0x02, 75, 87));
    EXPECT_TRUE(device.toRead.empty());
}

TEST(Transaction, DataToTheBoardFollowsTheBlockInPieces) {
    SimulatedDevice device;
    device.QueueStatus(1);
    std::vector<uint8_t> data(usbcorvel::kMaxPieceSize + 100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    T_USB_CORVEL command{37, 2, 0x80000000, static_cast<uint32_t>(data.size()), data.data(),
                         static_cast<uint32_t>(data.size()), 0};
    std::string error;
    ASSERT_TRUE(Commit(device, command, error)) << error;
    ASSERT_EQ(device.written.size(), 3u);
    EXPECT_EQ(device.written[0], Block(static_cast<uint32_t>(data.size()), 2, 37, 0x80000000, data.size()));
    std::vector<uint8_t> joined = device.written[1];
    joined.insert(joined.end(), device.written[2].begin(), device.written[2].end());
    EXPECT_EQ(device.written[1].size(), usbcorvel::kMaxPieceSize);
    EXPECT_EQ(joined, data);
}

TEST(Transaction, DataFromTheBoardFillsTheCallersBufferAcrossShortTransfers) {
    SimulatedDevice device;
    device.toRead.push_back({1, 2, 3});
    device.toRead.push_back({4, 5, 6, 7, 8});
    device.QueueStatus(1);
    uint8_t buffer[8] = {};
    T_USB_CORVEL command{4, 1, 254, 254, buffer, sizeof buffer, 0};
    std::string error;
    ASSERT_TRUE(Commit(device, command, error)) << error;
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(device.written.size(), 1u);
}

TEST(Transaction, RegisterReadReturnsTheValueOfTheStatusOnlyForCode42) {
    for (uint32_t code : {42u, 35u}) {
        SimulatedDevice device;
        device.QueueStatus(1, 0xCAFEF00D);
        T_USB_CORVEL command{code, 0, 0x08000034, 0, nullptr, 0, 0x11111111};
        std::string error;
        ASSERT_TRUE(Commit(device, command, error)) << error;
        EXPECT_EQ(command.result, code == 42 ? 0xCAFEF00Du : 0x11111111u) << "code " << code;
    }
}

TEST(Transaction, FailsWhenAnyOfTheThreeStepsFails) {
    struct Case {
        const char* name;
        uint32_t direction;
        uint32_t length;
        bool withBuffer;
        std::function<void(SimulatedDevice&)> prepare;
        const char* error;
    };
    const Case cases[] = {
        {"block not taken", 0, 0, false, [](SimulatedDevice& d) { d.failWriteAt = 0; }, "bulk-out"},
        {"data not taken", 2, 16, true, [](SimulatedDevice& d) { d.failWriteAt = 1; }, "bulk-out"},
        {"data never comes", 1, 16, true, [](SimulatedDevice&) {}, "bulk-in"},
        {"data ends early", 1, 16, true,
         [](SimulatedDevice& d) { d.toRead = {{1, 2, 3, 4}, {}}; }, "the board sent 4 of 16 data bytes"},
        {"status never comes", 0, 0, false, [](SimulatedDevice&) {}, "bulk-in"},
        {"status too short", 0, 0, false, [](SimulatedDevice& d) { d.toRead = {{1, 0, 0}}; }, "status of 3 bytes"},
        {"board reports failure", 0, 0, false, [](SimulatedDevice& d) { d.QueueStatus(0); },
         "the board reported failure for command 9"},
        {"data phase without a buffer", 2, 16, false, [](SimulatedDevice&) {}, "without a buffer"},
        {"unknown direction", 3, 0, false, [](SimulatedDevice&) {}, "direction 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedDevice device;
        c.prepare(device);
        uint8_t buffer[16] = {};
        T_USB_CORVEL command{9, c.direction, 0, 0, c.withBuffer ? buffer : nullptr, c.length, 0};
        std::string error;
        EXPECT_FALSE(Commit(device, command, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// A failure part-way leaves answers on the pipe that belong to no command the
// host still waits for: the first command's late "success" must never answer
// a later command, which the board fails.
TEST(Transaction, AnAnswerThatComesTooLateNeverAnswersALaterCommand) {
    struct Case {
        const char* name;
        T_USB_CORVEL first;
        std::function<void(SimulatedDevice&)> prepare;
    };
    uint8_t buffer[16] = {};
    const Case cases[] = {
        {"the status comes after the wait", {60, 0, 1, 2, nullptr, 0, 0},
         [](SimulatedDevice& d) { d.late = {SimulatedDevice::Status(1)}; }},
        {"the data phase is cut off", {56, 1, 0, 0, buffer, 16, 0},
         [](SimulatedDevice& d) {
             d.toRead = {{1, 2, 3, 4}, {}};
             d.late = {{5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, SimulatedDevice::Status(1)};
         }},
        {"the status is cut short", {2, 0, 75, 87, nullptr, 0, 0},
         [](SimulatedDevice& d) {
             d.toRead = {{1, 0, 0}};
             d.late = {{0, 0, 0, 0, 0}};
         }},
        {"the block is not taken", {2, 0, 75, 87, nullptr, 0, 0},
         [](SimulatedDevice& d) {
             d.failWriteAt = 0;
             d.late = {SimulatedDevice::Status(1)};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedDevice device;
        c.prepare(device);
        usbcorvel::Session session(device);
        T_USB_CORVEL first = c.first;
        std::string error;
        EXPECT_FALSE(session.Commit(first, error));
        EXPECT_EQ(device.haltsCleared, 1);

        // The board would fail the next command; on this handle it is refused unsent.
        device.failWriteAt = -1;
        device.QueueStatus(0);
        size_t writes = device.written.size();
        T_USB_CORVEL next{3, 0, 1, 0, nullptr, 0, 0};
        EXPECT_FALSE(session.Commit(next, error));
        EXPECT_NE(error.find("open it again"), std::string::npos) << error;
        EXPECT_EQ(device.written.size(), writes) << "a command went out on a pipe out of step";

        // Opened again, whatever the failed session left is drained first; from
        // then on the board's own answers count.
        usbcorvel::Session reopened(device);
        reopened.Resynchronise();
        device.QueueStatus(0);
        EXPECT_FALSE(reopened.Commit(next, error));
        EXPECT_NE(error.find("the board reported failure for command 3"), std::string::npos) << error;
        device.QueueStatus(1);
        EXPECT_TRUE(reopened.Commit(next, error)) << error;
    }
}

TEST(Transaction, ABoardThatAnswersFailureStaysInStep) {
    SimulatedDevice device;
    usbcorvel::Session session(device);
    device.QueueStatus(0);
    device.QueueStatus(1);
    T_USB_CORVEL command{57, 0, 1, 0, nullptr, 0, 0};
    std::string error;
    EXPECT_FALSE(session.Commit(command, error));
    EXPECT_TRUE(session.Commit(command, error)) << error;
    EXPECT_EQ(device.haltsCleared, 0);
}

TEST(Transaction, ErasingAndPartitioningGetTheLongStatusWait) {
    struct Case {
        uint32_t code;
        unsigned statusWaitMs;
    };
    const Case cases[] = {{2, 30000}, {57, 30000}, {7, 600000}, {9, 600000},
                          {10, 600000}, {55, 600000}, {60, 600000}, {123, 600000}};
    for (const Case& c : cases) {
        SimulatedDevice device;
        device.QueueStatus(1);
        T_USB_CORVEL command{c.code, 0, 0, 0, nullptr, 0, 0};
        std::string error;
        ASSERT_TRUE(Commit(device, command, error)) << error;
        EXPECT_EQ(device.readTimeouts, std::vector<unsigned>{c.statusWaitMs}) << "code " << c.code;
    }
}

}  // namespace
