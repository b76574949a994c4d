#pragma once
// The producer agent as the board runs it after "go": 31-byte command blocks,
// data phases acknowledged chunk by chunk, framed replies, and an emulated
// SPI NOR or SPI NAND flash.
#include "tools/vboard/board_options.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

struct ReceivedCommand {
    unsigned code, direction, length, param1, param2;
    std::vector<uint8_t> data;  // the data phase, when there was one
};

// An erased flash of the board's size.
std::vector<uint8_t> BlankFlash(const BoardOptions& options);

class Producer {
public:
    Producer(const BoardOptions& options, unsigned linkBaud);
    // Runs on `blankFlash`, made beforehand: filling a large flash takes long
    // enough to miss the host's first reply time-out on a slow (sanitized) run.
    Producer(const BoardOptions& options, unsigned linkBaud, std::vector<uint8_t> blankFlash);

    void Feed(const uint8_t* data, size_t size, std::string& out);

    const std::vector<ReceivedCommand>& Commands() const { return commands_; }
    const std::vector<uint8_t>& Flash() const { return flash_; }
    // True once the host has sent the close command: the burn is over.
    bool Closed() const { return closed_; }
    // Whether the bytes received since the last command (and its data) begin with `bytes`.
    bool PendingBlockBeginsWith(std::string_view bytes) const {
        return !inData_ && block_.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), block_.begin());
    }
    // The data chunk size both sides use at the link rate the producer was given.
    size_t ChunkSize() const { return chunk_; }
    // The producer is reached over USB: a NAND boot piece may then be as long
    // as the NAND transfer unit (whole pages with their spare areas within 64
    // KiB), since one transaction carries it.
    void CarryOverUsb() { usb_ = true; }

private:
    void OnBlock(std::string& out);
    void OnData(std::string& out);
    bool Write(uint32_t offset, const std::vector<uint8_t>& bytes);
    bool OnRamData(const ReceivedCommand& c);
    bool OnClientBootWrite(const ReceivedCommand& c);
    bool OnClientBootCheck(const ReceivedCommand& c) const;
    bool OnUploadPages(const ReceivedCommand& c, std::string& out);
    void Frame(const std::string& payload, std::string& out);
    void Status(bool ok, std::string& out);

    BoardOptions options_;
    size_t chunk_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> block_;
    ReceivedCommand current_{};
    bool inData_ = false;
    size_t chunksSeen_ = 0;
    uint32_t bootOffset_ = 0, imageOffset_ = 0;
    uint32_t nandPage_ = 0;  // page size from the last NAND parameters, 0 before them
    uint32_t nandUnit_ = 0;  // the NAND transfer unit of those parameters
    uint32_t spiPage_ = 0;   // page size from the last SPI NOR parameters
    bool usb_ = false;
    // The board's RAM as the RAM download commands fill it, from its start address.
    uint32_t ramBase_ = 0;
    std::vector<uint8_t> ram_;
    // The pages the last page upload request asked for: first page, count; count 0 none.
    uint32_t uploadFirst_ = 0, uploadCount_ = 0;
    std::vector<ReceivedCommand> commands_;
    bool closed_ = false;
};

}  // namespace vboard
