#pragma once
// The rules of the "Hardware" dialog without its widgets: the RAM
// configuration files (import, export and the configuration word built from
// the RAM type, bank, column and row choices) and the "Config Command Line"
// option whose address and text the exit writes into the boot loader's
// command-line block. Nothing reaches the configuration before OK, except
// what an import holds for later exports.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/message_sink.h"
#include "kestrow/config/ram_config.h"

#include <cstdint>
#include <string>

namespace kestrow::app {

inline constexpr std::size_t kCommandLineChars = 127;  // the 128-byte block keeps its terminating zero

// The option as the dialog shows and edits it.
struct CommandLineFields {
    bool enabled = false;
    std::string address;  // hex text, "0x" optional
    std::string data;
};

class HardwareSession {
public:
    // `porter` holds what was imported for as long as the program runs.
    HardwareSession(config::BurnConfig& config, config::RamConfigPorter& porter, config::MessageSink& sink);

    // The configuration word the RAM choices make, as the dialog shows it.
    const config::RamConfigWord& Word() const { return word_; }
    void SetWord(const config::RamConfigWord& word) { word_ = word; }
    bool DdrFrequencyEditable() const { return config::RamConfigWord::DdrFrequencyEditable(word_.Encode()); }

    // Reads a RAM configuration file; for chip types 1, 2, 3, 5 and 6 its word
    // becomes the one shown. False (with the message shown) for a bad file.
    bool Import(const std::string& path);
    // Writes the imported pairs (or the station's RAM table) with the word shown.
    bool Export(const std::string& path);
    // ramconfig/<the file name for the RAM type shown> in the station folder.
    std::string SuggestedExportPath() const;

    // On opening: the configured option, or, while it is off, the block the
    // boot loader holds, so turning it on starts from what is there.
    const CommandLineFields& OpenedCommandLine() const { return opened_; }

    // OK: stores the RAM choices and the option.
    void Accept(const CommandLineFields& commandLine);

private:
    config::BurnConfig& config_;
    config::RamConfigPorter& porter_;
    config::MessageSink& sink_;
    config::RamConfigWord word_;
    CommandLineFields opened_;
};

}  // namespace kestrow::app
