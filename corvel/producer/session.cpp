#include "corvel/producer/session.h"

#include "corvel/core/little_endian.h"
#include "corvel/core/transfer_log.h"

#include <cstring>
#include <string>

namespace corvel::producer {
namespace {

constexpr size_t kNandParamBytes = 36;
constexpr uint32_t kNandUnitLimit = 65536;

// The direction the block announces: the row's, or for codes used in more
// than one way the one the request's buffers say.
Direction DirectionOf(const Command& row, const Request& r) {
    if (row.direction != Direction::PerCall) return row.direction;
    if (r.out != nullptr || r.source) return Direction::ToBoard;
    if (r.in != nullptr) return Direction::FromBoard;
    return Direction::None;
}

// Why `r` does not fit `row`, or "" when it does.
std::string Misfit(const Command& row, const Request& r, Direction direction) {
    bool toBoard = r.out != nullptr || r.source;
    bool fromBoard = r.in != nullptr;
    if (toBoard && fromBoard) return "data both ways";
    if (toBoard != (direction == Direction::ToBoard && row.length != Length::None) ||
        fromBoard != (direction == Direction::FromBoard && row.length != Length::None))
        return "a data phase the command does not have, or none where it has one";
    switch (row.length) {
        case Length::None:
            if (r.length != 0) return std::to_string(r.length) + " data bytes where it takes none";
            break;
        case Length::Fixed:
            if (r.length != row.bytes)
                return std::to_string(r.length) + " data bytes where it takes " + std::to_string(row.bytes);
            break;
        case Length::Caller:
            if (r.length == 0 && direction != Direction::None) return "an empty data phase";
            break;
    }
    return {};
}

}  // namespace

uint32_t NandTransferUnit(const tag_Nand_Phy_Info& info) {
    unsigned unit = info.page_size + info.spare_size;
    return unit == 0 ? 0 : unit * (kNandUnitLimit / unit);
}

Session::Session(unsigned nID, Transport& transport, const char* caller)
    : nID_(nID), ch_(ChannelByID(nID)), transport_(transport), caller_(caller) {}

bool Session::Run(unsigned code, const Request& r) {
    const Command* row = FindCommand(code);
    if (row == nullptr) {
        TransferLogf("%s: the producer has no command %u\r\n", caller_, code);
        return false;
    }
    Direction direction = DirectionOf(*row, r);
    if (std::string why = Misfit(*row, r, direction); !why.empty()) {
        LogCommandFailure(caller_, code, "not sent: " + why);
        return false;
    }
    void* data = r.in != nullptr ? r.in : const_cast<void*>(r.out);
    T_USB_CORVEL command{code, static_cast<uint32_t>(direction), r.param1, r.param2, data, r.length, 0};
    if (!transport_.SendBlock(*row, command)) return false;
    if (direction == Direction::ToBoard && r.length > 0) {
        auto* next = static_cast<const uint8_t*>(r.out);
        DataSource fromMemory = [&next](uint8_t* buffer, size_t size) {
            std::memcpy(buffer, next, size);
            next += size;
            return true;
        };
        if (!transport_.SendData(r.source ? r.source : fromMemory)) return false;
    } else if (direction == Direction::FromBoard && r.length > 0) {
        if (!transport_.ReceiveData(static_cast<uint8_t*>(r.in))) return false;
    }
    return transport_.Status(r.value);
}

bool Session::GetFlashID(unsigned p1, unsigned p2, unsigned* id, unsigned* count) {
    uint8_t answer[8] = {};
    const Command& row = *FindCommand(kGetFlashID);
    T_USB_CORVEL command{kGetFlashID, static_cast<uint32_t>(Direction::FromBoard), p1, p2, answer, sizeof answer, 0};
    if (!transport_.SendBlock(row, command) || !transport_.ReceiveData(answer)) return false;
    // The ID counts once it has arrived, even when the status then reports failure.
    *id = LE32(answer);
    *count = LE32(answer + 4);
    ch_->flash_chip_count = *count;
    TransferLogf("%x", *id);
    return transport_.Status(nullptr);
}

bool Session::SetMode(T_MODE_CONTROL mode, unsigned mediumMode) {
    uint32_t word;
    std::memcpy(&word, &mode, sizeof word);
    ch_->mediumMode = mediumMode;
    return Run(kSetMode, {.param1 = word});
}

bool Session::SetNandParam(const tag_Nand_Phy_Info& info) {
    ch_->NandPhyInfo = info;
    ch_->nandTransferUnit = NandTransferUnit(info);
    return Run(kSetNandParam, {.out = &info, .length = kNandParamBytes});
}

bool Session::SetSpiParam(const T_SFLASH_PHY_INFO& info) {
    ch_->SpiPhyInfo = info;
    // The boot header copy carries the extended parameter in byte 27.
    ch_->SpiPhyInfo.boot_blocks = static_cast<uint8_t>(ch_->lastExParameter.load());
    return Run(kSetSPIParam, {.out = &info, .length = sizeof info});
}

bool Session::SetExParameter(unsigned value) {
    ch_->lastExParameter = value;
    return Run(kSetExParameter, {.param1 = value});
}

}  // namespace corvel::producer
