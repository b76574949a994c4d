#pragma once
// The boot ROM of a chip, as a byte-in, byte-out state machine: wake
// characters, the prompt, echoed text commands, the baud selector and
// register writes. It knows nothing of the port it talks over.
#include "tools/vboard/board_options.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vboard {

class BootRom {
public:
    explicit BootRom(const BoardOptions& options);

    // Consumes received bytes and appends what the ROM answers to `out`.
    void Feed(const uint8_t* data, size_t size, std::string& out);
    // Called about every 100 ms: a ROM that needs no wake characters keeps
    // announcing itself until the host speaks. Appends to `out`.
    void Tick(std::string& out);

    bool Awake() const { return state_ != State::WaitWake; }
    // The link rate the ROM talks at.
    unsigned Baud() const { return baud_; }
    // Every complete command line received, operands included.
    const std::vector<std::string>& Lines() const { return lines_; }
    // Register writes received through "setvalue": address text -> value text.
    const std::map<std::string, std::string>& Registers() const { return registers_; }
    const std::string& Prompt() const { return prompt_; }

private:
    enum class State { WaitWake, Command, Selector, SelectorReturn };
    void OnLine(std::string line, std::string& out);
    void PrintPrompt(std::string& out);

    BoardOptions options_;
    std::string wake_;    // the wake sequence this ROM listens for; empty: none
    std::string prompt_;
    State state_ = State::WaitWake;
    size_t wakeMatched_ = 0;
    std::string line_;
    std::vector<std::string> pendingOperands_;  // the command waiting for its operand lines
    size_t operandsWanted_ = 0;
    unsigned baud_ = 115200;
    unsigned selectedBaud_ = 115200;
    std::vector<std::string> lines_;
    std::map<std::string, std::string> registers_;
};

}  // namespace vboard
