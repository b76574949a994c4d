// The producer's command table against the values the board protocol fixes,
// written out here on their own.
#include "corvel/producer/command_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace corvel::producer;
using namespace std::chrono_literals;

std::vector<unsigned> CodesWithReply(Reply reply) {
    std::vector<unsigned> codes;
    for (const Command& c : kCommands)
        if (c.reply == reply) codes.push_back(c.code);
    return codes;
}

TEST(CommandTable, CodesAndNamesAreUniqueAndFoundByCode) {
    std::set<unsigned> codes;
    std::set<std::string_view> names;
    for (const Command& c : kCommands) {
        SCOPED_TRACE(c.code);
        EXPECT_TRUE(codes.insert(c.code).second) << "code defined twice";
        EXPECT_TRUE(names.insert(c.name).second) << "name used twice: " << c.name;
        EXPECT_FALSE(c.name.empty());
        EXPECT_GE(c.code, 1u);
        EXPECT_LE(c.code, 127u);
        EXPECT_EQ(FindCommand(c.code), &c);
        EXPECT_EQ(FindCommand(c.code | 0x100), &c) << "only the low byte travels";
        EXPECT_EQ(c.bytes != 0, c.length == Length::Fixed) << "a fixed length, and only that, has its bytes";
        if (c.direction == Direction::PerCall) {
            EXPECT_EQ(c.length, Length::Caller);
        }
    }
    for (unsigned unknown : {0u, 6u, 14u, 46u, 100u, 128u, 255u}) EXPECT_EQ(FindCommand(unknown), nullptr) << unknown;
    EXPECT_EQ(CommandName(2), "test connection");
    EXPECT_EQ(CommandName(6), "unknown command");
}

TEST(CommandTable, EveryCommandSendsWhatTheProtocolFixes) {
    constexpr Direction kNone = Direction::None, kFrom = Direction::FromBoard, kTo = Direction::ToBoard,
                        kEither = Direction::PerCall;
    struct Required {
        unsigned code;
        Direction direction;
        uint32_t fixedBytes;  // 0: no data phase, or the caller's length
    };
    const Required required[] = {
        {1, kNone, 0},     {2, kNone, 0},     {3, kNone, 0},     {4, kFrom, 8},     {5, kTo, 36},
        {7, kNone, 0},     {8, kNone, 0},     {9, kTo, 0},       {10, kTo, 20},     {11, kTo, 0},
        {12, kTo, 40},     {13, kTo, 0},      {16, kTo, 40},     {17, kTo, 0},      {20, kEither, 0},
        {21, kEither, 0},  {28, kEither, 0},  {29, kEither, 0},  {32, kTo, 8},      {33, kNone, 0},
        {34, kNone, 0},    {35, kNone, 0},    {36, kNone, 0},    {37, kTo, 0},      {39, kFrom, 512},
        {42, kNone, 0},    {43, kEither, 0},  {45, kTo, 8},      {47, kTo, 8},      {49, kTo, 60},
        {50, kFrom, 4},    {51, kFrom, 4},    {52, kEither, 0},  {53, kEither, 0},  {54, kEither, 0},
        {55, kEither, 0},  {56, kFrom, 0},    {57, kNone, 0},    {58, kTo, 40},     {59, kTo, 0},
        {60, kNone, 0},    {61, kNone, 0},    {62, kEither, 0},  {63, kEither, 0},  {64, kEither, 0},
        {83, kNone, 0},    {101, kFrom, 0},   {102, kFrom, 4},   {103, kTo, 0},     {104, kTo, 24},
        {105, kTo, 3},     {106, kEither, 0}, {107, kEither, 0}, {108, kEither, 0}, {109, kEither, 0},
        {110, kFrom, 0},   {111, kNone, 0},   {112, kNone, 0},   {120, kEither, 0}, {121, kEither, 0},
        {122, kEither, 0}, {123, kEither, 0}, {124, kEither, 0}, {125, kEither, 0}, {126, kEither, 0},
        {127, kEither, 0},
    };
    for (const Required& r : required) {
        SCOPED_TRACE(r.code);
        const Command* c = FindCommand(r.code);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->direction, r.direction);
        EXPECT_EQ(c->bytes, r.fixedBytes);
        // Switching speed announces itself "to the board" without any data.
        bool dataPhase = r.direction != kNone && r.code != 103;
        EXPECT_EQ(c->length != Length::None, dataPhase);
    }
    EXPECT_EQ(kCommands.size(), std::size(required)) << "a row the protocol does not know";
}

TEST(CommandTable, TheSerialReaderClassesRepliesAsTheProducerSendsThem) {
    EXPECT_EQ(CodesWithReply(Reply::Status),
              (std::vector<unsigned>{2, 3, 5, 7, 9, 12, 13, 16, 17, 20, 21, 28, 34, 49, 53, 57, 58, 59, 60, 83, 104, 107,
                                     111, 112}));
    EXPECT_EQ(CodesWithReply(Reply::DataThenStatus), (std::vector<unsigned>{4, 29, 43, 54, 106, 108, 109}));
    EXPECT_EQ(CodesWithReply(Reply::ValueInStatus), std::vector<unsigned>{42});
}

TEST(CommandTable, StatusWaitsOfEachTransport) {
    // Over the serial link: the boot loader's data 10 s, the whole-flash
    // image's start 30 s, everything else 5 s.
    const std::pair<unsigned, std::chrono::milliseconds> serialLonger[] = {{13, 10000ms}, {16, 30000ms}, {58, 30000ms}};
    // Over USB: erasing, formatting and partitioning 10 minutes, else 30 s.
    const std::set<unsigned> usbFlashWork = {7, 9, 10, 55, 60, 123};
    for (const Command& c : kCommands) {
        SCOPED_TRACE(c.code);
        auto longer = std::find_if(std::begin(serialLonger), std::end(serialLonger),
                                   [&](const auto& w) { return w.first == c.code; });
        EXPECT_EQ(c.wait.serial, longer != std::end(serialLonger) ? longer->second : 5000ms);
        EXPECT_EQ(c.wait.usb, usbFlashWork.count(c.code) ? 600000ms : 30000ms);
    }
}

TEST(MediumMode, EachTransportMapsTheModeRecordItsOwnWay) {
    struct Case {
        unsigned before;
        uint8_t eMedium;
        unsigned serial, usb;
    };
    const Case cases[] = {
        {0, 1, 1, 1}, {0, 5, 3, 3}, {3, 1, 1, 1}, {1, 5, 3, 3},
        {1, 0, 1, 0},  // serial keeps SPI NOR, USB records "none"
        {3, 2, 3, 2},  // serial keeps NAND, USB records medium 2
        {3, 4, 3, 1},  // serial keeps NAND, USB burns SPI NOR
        {0, 7, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + " then eMedium " + std::to_string(c.eMedium));
        EXPECT_EQ(SerialMediumMode(c.before, c.eMedium), c.serial);
        EXPECT_EQ(UsbMediumMode(c.eMedium), c.usb);
    }
}

}  // namespace
