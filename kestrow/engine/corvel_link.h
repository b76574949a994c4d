#pragma once
// BoardLink over the transfer library's exported functions.
#include "kestrow/engine/board_link.h"

namespace kestrow::engine {

class CorvelLink : public BoardLink {
public:
    unsigned Init(unsigned channels, BurnEntry burn, ProgressEntry progress) override;
    unsigned StartChannel(unsigned channel) override;
    unsigned SetCorvelParam(unsigned channel, const CorvelParam& para) override;
    unsigned SecureBootFlag(unsigned flag) override;
    unsigned StartRead(const std::string& port, unsigned index, unsigned chipType) override;
    unsigned DownloadRam(unsigned channel, const std::string& path, unsigned address) override;
    unsigned CheckSecureEn(unsigned index) override;
    unsigned ChooseBaud(const std::string& port, unsigned index, unsigned baud) override;
    unsigned AttachUart(const std::string& port, unsigned baud, unsigned index) override;
    unsigned DetachUart(const std::string& port) override;
    PortCondition PortError(const std::string& port, unsigned index) override;
    unsigned Download1kData(unsigned channel, const std::string& path, unsigned magic) override;
    unsigned SetRamParam(unsigned channel, std::span<const RamReg> regs) override;
    unsigned SetRamParamNoCommit(unsigned channel, std::span<const RamReg> regs) override;
    unsigned DownloadProducer(unsigned channel, const std::string& path, unsigned runAddress) override;
    unsigned ChangeCom(const std::string& port, unsigned channel, unsigned baud) override;
    unsigned TestConnection(unsigned channel) override;
    unsigned SetBurnedParam(unsigned channel, const BurnedParam& param) override;
    unsigned SetMode(unsigned channel, ModeControl mode) override;
    unsigned GetFlashId(unsigned channel, unsigned p1, unsigned p2, unsigned& id, unsigned& chipCount) override;
    unsigned SetSpiParam(unsigned channel, const config::SpiNorInfo& info) override;
    unsigned SetNandParam(unsigned channel, const config::SpiNandInfo& info) override;
    unsigned SetExParameter(unsigned channel, unsigned value) override;
    unsigned InitSecArea(unsigned channel, unsigned value) override;
    unsigned DownloadBoot(unsigned channel, const DownloadBin& bin, unsigned chipType) override;
    unsigned DownloadSpiImage(unsigned channel, const DownloadBin& bin) override;
    unsigned CloseProducer(unsigned channel) override;
};

// UTF-8 text as the library's wide strings.
std::wstring ToWide(const std::string& text);

}  // namespace kestrow::engine
