#pragma once
// The boot ROM of a chip, as a byte-in, byte-out state machine: wake
// characters, the prompt, echoed text commands, the baud selector, register
// writes, the DDR table, uploads with their checksum, and "go", which starts
// the uploaded producer. It knows nothing of the port it talks over.
#include "tools/vboard/board_options.h"
#include "tools/vboard/producer.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

struct Upload {
    std::string command;        // "download", "securedown" or "sign"
    std::string address;        // the address line after the command, empty for the default
    std::vector<uint8_t> file;  // the bytes between the length and the checksum
    bool valid = false;         // length and checksum agreed
};

class BootRom {
public:
    explicit BootRom(const BoardOptions& options);

    // Consumes received bytes and appends what the board answers to `out`.
    void Feed(const uint8_t* data, size_t size, std::string& out);
    // Called about every 100 ms: a ROM that needs no wake characters keeps
    // announcing itself until the host speaks. Appends to `out`.
    void Tick(std::string& out);

    bool Awake() const { return state_ != State::WaitWake; }
    // The link rate the board talks at.
    unsigned Baud() const { return baud_; }
    void SetBaud(unsigned baud) { baud_ = baud; }
    // Every complete command line received, operands included.
    const std::vector<std::string>& Lines() const { return lines_; }
    // Register writes received through "setvalue": address text -> value text.
    const std::map<std::string, std::string>& Registers() const { return registers_; }
    // DDR register pairs received after "draminit", in order (the end marker not included).
    const std::vector<std::pair<uint32_t, uint32_t>>& RamPairs() const { return ramPairs_; }
    const std::vector<Upload>& Uploads() const { return uploads_; }
    // The producer, once started with "go".
    const Producer* RunningProducer() const { return producer_ ? &*producer_ : nullptr; }
    const std::string& Prompt() const { return prompt_; }
    // The host has woken the board again after its burn began (in the boot
    // ROM, or where the producer waits for a command block): it has given
    // that burn up and watches for the next board.
    bool GivenUp() const { return givenUp_; }
    // The sequence that wakes this ROM; empty: none.
    const std::string& Wake() const { return wake_; }
    // Bytes the host sent at another rate than the board's: a running
    // producer that gets the wake sequence that way has been given up too.
    void TakeBytesAtAnotherRate(const uint8_t* data, size_t size);

private:
    enum class State { WaitWake, Command, Selector, SelectorReturn, RamTable, Upload };
    void OnLine(std::string line, std::string& out);
    void OnUploadComplete(std::string& out);
    void Go(const std::string& command, const std::string& address, std::string& out);
    // The last "download" or "securedown", and whether it left code that the go
    // command of that kind can start.
    const Upload* LastCodeUpload() const;
    bool HasCodeToRun(bool secureGo) const;
    void FeedProducer(const uint8_t* data, size_t size, std::string& out);
    void PrintPrompt(std::string& out);
    // The prompt in answer to the wake sequence.
    void PrintWakePrompt(std::string& out);

    BoardOptions options_;
    std::string wake_;  // the wake sequence this ROM listens for; empty: none
    std::string prompt_;
    State state_ = State::WaitWake;
    size_t wakeMatched_ = 0;
    std::string line_;
    std::vector<std::string> pending_;  // the command line waiting for its operand lines
    size_t operandsWanted_ = 0;
    unsigned baud_ = 115200;
    unsigned selectedBaud_ = 115200;
    std::vector<std::string> lines_;
    std::map<std::string, std::string> registers_;
    std::vector<uint8_t> binary_;  // RAM table words or upload bytes being received
    std::vector<std::pair<uint32_t, uint32_t>> ramPairs_;
    std::vector<Upload> uploads_;
    Upload upload_;
    std::vector<uint8_t> blankFlash_;  // made with the board, handed to the producer at "go"
    std::optional<Producer> producer_;
    bool burnBegun_ = false;  // the host has sent a RAM table or an upload command
    bool givenUp_ = false;
};

}  // namespace vboard
