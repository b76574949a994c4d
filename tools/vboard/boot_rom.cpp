#include "tools/vboard/boot_rom.h"

#include <algorithm>
#include <string_view>
#include <type_traits>
#include <utility>

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

constexpr uint32_t kRamEnd = 0x88888888;
constexpr size_t kProducerBaudOffset = 52;

uint32_t LE32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// Whether `line` can only become a command that loads or starts code.
bool LoadsCode(const std::string& line) {
    static const char* const loaders[] = {"download", "securedown", "go", "securego", "sign"};
    static const char* const others[] = {"draminit", "setvalue", "baudrate"};
    auto prefixOf = [&](const char* command) { return std::string_view(command).starts_with(line); };
    return std::any_of(std::begin(loaders), std::end(loaders), prefixOf) &&
           std::none_of(std::begin(others), std::end(others), prefixOf);
}

unsigned SelectorBaud(char selector) {
    switch (selector) {
        case '1': return 115200;
        case '2': return 1000000;
        default: return 2000000;
    }
}

}  // namespace

BootRom::BootRom(const BoardOptions& options) : options_(options), blankFlash_(BlankFlash(options)) {
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
    if (producer_) {
        FeedProducer(data, size, out);
        return;
    }
    for (size_t i = 0; i < size; ++i) {
        if (producer_) {
            // "go" has just started the producer: the rest of the read is its input.
            FeedProducer(data + i, size - i, out);
            return;
        }
        char c = static_cast<char>(data[i]);
        switch (state_) {
            case State::RamTable:
                binary_.push_back(data[i]);
                if (binary_.size() == 4 && LE32(binary_.data()) == kRamEnd) {
                    binary_.clear();
                    state_ = State::Command;
                    PrintPrompt(out);
                } else if (binary_.size() == 8) {
                    ramPairs_.emplace_back(LE32(binary_.data()), LE32(binary_.data() + 4));
                    binary_.clear();
                }
                break;
            case State::Upload: {
                size_t n = size - i;
                if (binary_.size() < 4) n = std::min<size_t>(n, 4 - binary_.size());
                else n = std::min<size_t>(n, LE32(binary_.data()) - binary_.size());
                binary_.insert(binary_.end(), data + i, data + i + n);
                i += n - 1;
                if (binary_.size() == 4 && LE32(binary_.data()) < 6) {
                    binary_.clear();  // a length that cannot be: the upload is refused
                    upload_.valid = false;
                    uploads_.push_back(upload_);
                    state_ = State::Command;
                } else if (binary_.size() >= 4 && binary_.size() == LE32(binary_.data())) {
                    OnUploadComplete(out);
                }
                break;
            }
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
                line_ += c;
                if (!(options_.Has(Fault::BadEcho) && LoadsCode(line_))) out += c;
                // A host that wakes the ROM again while it already listens gets the prompt again.
                if (!wake_.empty() && line_ == wake_) {
                    line_.clear();
                    PrintWakePrompt(out);
                }
                break;
        }
    }
}

void BootRom::PrintWakePrompt(std::string& out) {
    if (burnBegun_) givenUp_ = true;
    if (!(options_.oneBurn && burnBegun_)) PrintPrompt(out);
}

// A command block begins with zero bytes, which no wake sequence holds: one
// that begins with the wake sequence is the host waking a boot ROM.
void BootRom::FeedProducer(const uint8_t* data, size_t size, std::string& out) {
    producer_->Feed(data, size, out);
    if (!wake_.empty() && producer_->PendingBlockBeginsWith(wake_)) givenUp_ = true;
}

void BootRom::TakeBytesAtAnotherRate(const uint8_t* data, size_t size) {
    if (producer_ && !wake_.empty() && std::string_view(reinterpret_cast<const char*>(data), size).starts_with(wake_))
        givenUp_ = true;
}

void BootRom::OnLine(std::string line, std::string& out) {
    // The wake sequence of chip type 6 ends in a carriage return.
    if (!wake_.empty() && wake_.back() == '\r' && line + '\r' == wake_) {
        if (operandsWanted_ == 0) {
            PrintWakePrompt(out);
            return;
        }
        line.clear();
    }
    if (operandsWanted_ > 0) {
        // Operand lines: the empty line is a valid (default) address.
        lines_.push_back(line);
        pending_.push_back(line);
        if (--operandsWanted_ > 0) return;
        const std::string& command = pending_[0];
        if (command == "setvalue") {
            registers_[pending_[1]] = pending_[2];
            PrintPrompt(out);
        } else if (command == "download" || command == "securedown") {
            upload_ = Upload{command, pending_[1], {}, false};
            binary_.clear();
            state_ = State::Upload;
        } else {
            Go(command, pending_[1], out);
        }
        pending_.clear();
        return;
    }
    if (line.empty()) {
        PrintPrompt(out);
        return;
    }
    lines_.push_back(line);
    if (line == "draminit" || line == "download" || line == "securedown" || line == "sign") burnBegun_ = true;
    // A secure ROM takes only the secure forms of download and go, a normal one only the plain forms.
    bool secureOnly = line == "securedown" || line == "securego";
    bool plainOnly = line == "download" || line == "go";
    if ((secureOnly && !options_.secure) || (plainOnly && options_.secure)) {
        out += "Err Comm\r\n";
        PrintPrompt(out);
    } else if ((line == "go" || line == "securego") && !HasCodeToRun(line == "securego")) {
        // A refused upload shows at the next command: nothing to start.
        out += "Err Comm\r\n";
        PrintPrompt(out);
    } else if (line == "baudrate") {
        state_ = State::Selector;
    } else if (line == "setvalue") {
        pending_ = {line};
        operandsWanted_ = 2;
    } else if (secureOnly || plainOnly) {
        pending_ = {line};
        operandsWanted_ = 1;
    } else if (line == "draminit") {
        binary_.clear();
        state_ = State::RamTable;
    } else if (line == "sign") {
        upload_ = Upload{line, "", {}, false};
        binary_.clear();
        state_ = State::Upload;
    } else {
        out += "Err Comm\r\n";
        PrintPrompt(out);
    }
}

void BootRom::OnUploadComplete(std::string& out) {
    // length, file, 16-bit byte sum of the file
    size_t fileSize = binary_.size() - 6;
    upload_.file.assign(binary_.begin() + 4, binary_.begin() + 4 + static_cast<long>(fileSize));
    uint32_t sum = 0;
    for (uint8_t b : upload_.file) sum += b;
    uint32_t sent = binary_[4 + fileSize] | binary_[5 + fileSize] << 8;
    if (options_.Has(Fault::BadChecksum)) ++sum;
    upload_.valid = (sum & 0xFFFF) == sent;
    uploads_.push_back(upload_);
    binary_.clear();
    state_ = State::Command;
    if (!upload_.valid) out += "\r\nchecksum error";
    PrintPrompt(out);
}

const Upload* BootRom::LastCodeUpload() const {
    for (auto it = uploads_.rbegin(); it != uploads_.rend(); ++it)
        if (it->command != "sign") return &*it;
    return nullptr;
}

bool BootRom::HasCodeToRun(bool secureGo) const {
    const Upload* last = LastCodeUpload();
    return last != nullptr && last->valid && (last->command == "securedown") == secureGo;
}

void BootRom::Go(const std::string& command, const std::string& address, std::string& out) {
    bool secureGo = command == "securego";
    const Upload* last = LastCodeUpload();
    if (!HasCodeToRun(secureGo) || last->address != address) {
        out += "Err Comm\r\n";  // nothing valid to run there
        PrintPrompt(out);
        return;
    }
    if (!address.empty()) {
        // A RAM test program: it reports and returns to the ROM.
        if (options_.chipType == 11)
            out += options_.Has(Fault::BadRam) ? "REG32(80000000)=12340000\r\n" : "REG32(80000000)=12345678\r\n";
        PrintPrompt(out);
        return;
    }
    // The producer learns the link rate from its patched words and talks at it
    // from then on: the boot ROM only knows its selector rates, so the host
    // follows with a port switch. A secure producer is not patched and stays
    // at the ROM's rate.
    unsigned linkBaud = 115200;
    if (!secureGo && last->file.size() >= kProducerBaudOffset + 4) linkBaud = LE32(&last->file[kProducerBaudOffset]);
    if (blankFlash_.size() != options_.flashSize) blankFlash_ = BlankFlash(options_);  // a second go
    producer_.emplace(options_, linkBaud, std::move(blankFlash_));
    if (!secureGo && linkBaud != 0) baud_ = linkBaud;
}

bool ApplyFault(const std::string& spec, BoardOptions& options) {
    auto eq = spec.find('=');
    std::string name = spec.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : spec.substr(eq + 1);
    auto number = [&](auto& field) {
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return false;
        field = static_cast<std::remove_reference_t<decltype(field)>>(std::stoull(value));
        return true;
    };
    if (name == "silent") options.faults.push_back(Fault::Silent);
    else if (name == "no-prompt") options.faults.push_back(Fault::NoPrompt);
    else if (name == "err-comm") options.faults.push_back(Fault::ErrComm);
    else if (name == "bad-echo") options.faults.push_back(Fault::BadEcho);
    else if (name == "garbage") options.faults.push_back(Fault::Garbage);
    else if (name == "bad-checksum") options.faults.push_back(Fault::BadChecksum);
    else if (name == "bad-ram") options.faults.push_back(Fault::BadRam);
    else if (name == "unplug-after") return !(options.unplugAfterLine = value).empty();
    else if (name == "drop-ack") return number(options.dropAckChunk);
    else if (name == "fail-code") return number(options.failCode);
    else if (name == "disconnect") return number(options.disconnectAfter);
    else return false;
    return value.empty();
}

}  // namespace vboard
