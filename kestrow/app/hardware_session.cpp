#include "kestrow/app/hardware_session.h"

#include "kestrow/config/boot_cmdline.h"
#include "kestrow/config/number_text.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

#include <cstdio>
#include <cstring>

namespace kestrow::app {
namespace {

std::string HexText(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

std::string BlockText(const std::array<char, 128>& data) { return std::string(data.data(), strnlen(data.data(), data.size())); }

}  // namespace

HardwareSession::HardwareSession(config::BurnConfig& config, config::RamConfigPorter& porter,
                                 config::MessageSink& sink)
    : config_(config), porter_(porter), sink_(sink) {
    // The choices as last accepted: RAM type, then bank, column and row.
    word_ = {config_.ram_type, config_.hardware_values[0], config_.hardware_values[1], config_.hardware_values[2]};
    if (std::optional<std::uint32_t> imported = porter_.ImportedWord(config_.chip_type))
        word_ = config::RamConfigWord::Decode(*imported);

    opened_ = {config_.cmdline_enable != 0, HexText(config_.cmdline_addr), BlockText(config_.cmdline_data)};
    if (!opened_.enabled) {
        if (std::optional<config::BootCommandLine> block =
                config::ReadBootCommandLine(config::ResolveProgramPath(config_.path_nandboot))) {
            opened_.address = HexText(block->addr);
            opened_.data = BlockText(block->data);
        }
    }
}

bool HardwareSession::Import(const std::string& path) {
    if (porter_.Import(path, sink_) != 1) return false;
    if (std::optional<std::uint32_t> imported = porter_.ImportedWord(config_.chip_type))
        word_ = config::RamConfigWord::Decode(*imported);
    return true;
}

bool HardwareSession::Export(const std::string& path) {
    return porter_.Export(path, word_.Encode(), config_, sink_) == 1;
}

std::string HardwareSession::SuggestedExportPath() const {
    return config::ResolveProgramPath("ramconfig/" + std::string(config::RamConfigFileName(word_.ram_type)));
}

void HardwareSession::Accept(const CommandLineFields& commandLine) {
    config_.ram_type = word_.ram_type;
    config_.hardware_values = {word_.bank, word_.column, word_.row};
    config_.cmdline_enable = commandLine.enabled ? 1 : 0;
    config_.cmdline_addr = config::ReadHex(commandLine.address);
    const std::string data = config::CutToBytes(commandLine.data, kCommandLineChars);
    config_.cmdline_data = {};
    std::memcpy(config_.cmdline_data.data(), data.data(), data.size());
}

}  // namespace kestrow::app
