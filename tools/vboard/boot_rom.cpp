#include "tools/vboard/boot_rom.h"

namespace vboard {
namespace {

struct ChipRom {
    unsigned chipType;
    const char* prompt;
    const char* securePrompt;
    const char* wake;
    const char* secureWake;  // nullptr: the secure ROM announces itself unasked
};

// The boot ROMs this board can play.
constexpr ChipRom kRoms[] = {
    {6, "Q3D_UART_BOOT>#", "Q3D_UART_BOOT>#", "qm\r", "qm\r"},
    {7, "Q3B_UART_BOOT>#", "Q3B_UART_BOOT>#", "kkk", nullptr},
    {8, "Q4_UART_BOOT>#", "Q4_UART_BOOT>#", "kkk", nullptr},
    {9, "Q7_UART_BOOT>#", "Q7_SecureUART_BOOT>#", "kkk", "sss"},
    {10, "Q7L_UART_BOOT>#", "Q7L_UART_BOOT>#", "kkk", nullptr},
    {11, "Tarrow_UART_BOOT>#", "Tarrow_UART_BOOT>#", "kkk", nullptr},
};

const ChipRom& FindRom(unsigned chipType) {
    for (const ChipRom& rom : kRoms)
        if (rom.chipType == chipType) return rom;
    return kRoms[2];
}

unsigned SelectorBaud(char selector) {
    switch (selector) {
        case '1': return 115200;
        case '2': return 1000000;
        default: return 2000000;
    }
}

}  // namespace

BootRom::BootRom(const BoardOptions& options) : options_(options) {
    const ChipRom& rom = FindRom(options.chipType);
    prompt_ = options.secure ? rom.securePrompt : rom.prompt;
    const char* wake = options.secure ? rom.secureWake : rom.wake;
    wake_ = wake == nullptr ? "" : wake;
}

void BootRom::PrintPrompt(std::string& out) {
    if (!options_.Has(Fault::NoPrompt)) out += "\r\n" + prompt_;
}

void BootRom::Tick(std::string& out) {
    if (state_ == State::WaitWake && wake_.empty() && !options_.Has(Fault::Silent)) PrintPrompt(out);
}

void BootRom::Feed(const uint8_t* data, size_t size, std::string& out) {
    if (options_.Has(Fault::Silent)) return;
    for (size_t i = 0; i < size; ++i) {
        char c = static_cast<char>(data[i]);
        switch (state_) {
            case State::WaitWake:
                if (wake_.empty()) {
                    state_ = State::Command;  // the host spoke: stop announcing
                    --i;                      // and treat the byte as command input
                    continue;
                }
                wakeMatched_ = (c == wake_[wakeMatched_]) ? wakeMatched_ + 1 : (c == wake_[0] ? 1 : 0);
                if (wakeMatched_ == wake_.size()) {
                    wakeMatched_ = 0;
                    state_ = State::Command;
                    out += "\r\nboot rom ready";
                    PrintPrompt(out);
                }
                break;
            case State::Selector:
                out += c;
                selectedBaud_ = SelectorBaud(c);
                state_ = State::SelectorReturn;
                break;
            case State::SelectorReturn:
                out += c;
                if (c == '\r') {
                    baud_ = selectedBaud_;
                    state_ = State::Command;
                }
                break;
            case State::Command:
                if (c == '\r') {
                    std::string line;
                    line.swap(line_);
                    if (options_.Has(Fault::ErrComm) && !line.empty()) {
                        out += "\r\nErr Comm\r\n";
                        continue;
                    }
                    out += "\r\n";
                    OnLine(line, out);
                    continue;
                }
                out += c;
                line_ += c;
                // A host that wakes the ROM again while it already listens gets the prompt again.
                if (!wake_.empty() && line_ == wake_) {
                    line_.clear();
                    PrintPrompt(out);
                }
                break;
        }
    }
}

void BootRom::OnLine(std::string line, std::string& out) {
    // The wake sequence of chip type 6 ends in a carriage return.
    if (!wake_.empty() && wake_.back() == '\r' && line + '\r' == wake_) line.clear();
    if (line.empty() && operandsWanted_ == 0) {
        PrintPrompt(out);
        return;
    }
    lines_.push_back(line);
    if (operandsWanted_ > 0) {
        pendingOperands_.push_back(line);
        if (--operandsWanted_ > 0) return;
        if (pendingOperands_[0] == "setvalue") registers_[pendingOperands_[1]] = pendingOperands_[2];
        pendingOperands_.clear();
        PrintPrompt(out);
        return;
    }
    if (line == "baudrate") {
        state_ = State::Selector;
    } else if (line == "setvalue") {
        pendingOperands_ = {line};
        operandsWanted_ = 2;
    } else {
        out += "Err Comm\r\n";
        PrintPrompt(out);
    }
}

bool ParseFault(const std::string& name, Fault& fault) {
    if (name == "silent") fault = Fault::Silent;
    else if (name == "no-prompt") fault = Fault::NoPrompt;
    else if (name == "err-comm") fault = Fault::ErrComm;
    else return false;
    return true;
}

}  // namespace vboard
