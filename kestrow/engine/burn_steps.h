#pragma once
// The burn of one board as a list of steps, each with the lines it writes to
// the channel log and the status codes it posts, as data. One runner
// (BurnEngine::RunStep) writes the start line, posts the start status, does
// the step's work and, when it fails, writes the failure line and posts the
// failure status: every failing step posts exactly one failure status.
#include "kestrow/engine/status_codes.h"

#include <array>
#include <cstdint>
#include <string>

namespace kestrow::engine {

// "No status": status 0 is Ready, so the empty value is another one.
inline constexpr unsigned kNoStatus = ~0u;

enum class BurnStepId : std::uint8_t {
    BurnMedium,         // the medium the configured chip mode burns
    StartBurn,          // the library's burn parameters
    SignatureData,      // the 1 KB signature data (secure boot)
    RamParameters,      // the RAM controller's register pairs
    Producer,           // download and start the producer
    BaudSwitch,         // the port to the working baud rate
    ProducerStart,      // the producer's start-up time
    ConnectionTest,     // the producer answers
    BurnedParameters,   // what the producer does after the burn
    BurnMode,           // medium and erase switches
    SpiNorFlash,        // flash ID, SPI parameters, boot loader or whole-flash image
    SpiNandParameters,  // flash ID, NAND parameters, boot area size
    SecurityArea,       // the NAND's security area
    SpiNandBootLoader,  // the boot loader into the NAND
};

// Where a step's lines go.
enum class StepLog : std::uint8_t {
    Entry,      // the burn's own log, open for the whole burn
    Own,        // a log the step opens for itself; it ends with the log's closing line
    OnFailure,  // the step writes only when it fails, through a log opened for that line
};

struct BurnStep {
    BurnStepId id;
    StepLog log;
    const char* start_line;     // written when the step starts, or nullptr
    unsigned start_status;      // posted when it starts, or kNoStatus
    const char* failure_line;   // written when it fails, or nullptr (a failure may bring its own)
    unsigned failure_status;    // posted when it fails, or kNoStatus when each failure names its own
    const char* sequence_line;  // the burn's own line after the step failed, or nullptr
};

// In the order a burn runs them; a step that does not apply to the
// configuration (the 1 KB data without secure boot, the SPI NAND steps on an
// SPI NOR medium, ...) is left out of that burn.
inline constexpr std::array<BurnStep, 14> kBurnSequence = {{
    {BurnStepId::BurnMedium, StepLog::Entry, nullptr, kNoStatus, nullptr, status::kSetModeFailed, nullptr},
    {BurnStepId::StartBurn, StepLog::Entry, nullptr, status::kStartBurn, nullptr, kNoStatus, nullptr},
    {BurnStepId::SignatureData, StepLog::Entry, "++Start download 1k data ++\r\n", status::k1kData,
     "download producer fail.\r\n", status::k1kDataFailed, nullptr},
    {BurnStepId::RamParameters, StepLog::Own, "++SetRamParam++\r\n", status::kSetRam, "->SetRamParam fail.\r\n",
     status::kSetRamFailed, "Burn_SetRamParam fail\n"},
    {BurnStepId::Producer, StepLog::Entry, "++Start download producer++\r\n", status::kDownloadProducer,
     "download producer fail.\r\n", status::kDownloadProducerFailed, nullptr},
    {BurnStepId::BaudSwitch, StepLog::Entry, nullptr, kNoStatus, "Burn_Switch Uart COM fail.\r\n",
     status::kSwitchComFailed, nullptr},
    {BurnStepId::ProducerStart, StepLog::Entry, nullptr, kNoStatus, nullptr, kNoStatus, nullptr},
    {BurnStepId::ConnectionTest, StepLog::Own, "++test connetion++\r\n", status::kTest, "->connetion fail!\r\n",
     status::kTestFailed, "Burn_TestPCAndProducerConnectOK fail.\r\n"},
    {BurnStepId::BurnedParameters, StepLog::Own, "++Set Burned Param++\r\n", kNoStatus,
     "->Set Burned Param fail\r\n", status::kBurnedParamFailed, "Burn_SetBurnPara fail.\r\n"},
    {BurnStepId::BurnMode, StepLog::Own, "++set mode++\r\n", status::kSetMode, "->set mode fail!\r\n",
     status::kSetModeFailed, "Burn_SetBurnMode fail.\r\n"},
    {BurnStepId::SpiNorFlash, StepLog::OnFailure, nullptr, status::kFlashId, nullptr, kNoStatus,
     "burn_spiflash fail.\r\n"},
    {BurnStepId::SpiNandParameters, StepLog::Own, "++KW_GetFlashID++\r\n", status::kFlashId, nullptr, kNoStatus,
     "Burn_GetFlashIDAndSetNandParam fail.\r\n"},
    {BurnStepId::SecurityArea, StepLog::Entry, "++init security area++\r\n", status::kSecurityArea,
     "KW_InitSecArea fail!\r\n", status::kSecurityAreaFailed, nullptr},
    {BurnStepId::SpiNandBootLoader, StepLog::OnFailure, nullptr, kNoStatus, nullptr, kNoStatus,
     "Burn_NandFlash_Uboot fail.\r\n"},
}};

// What a step's work came to: done, or failed with the status and line its
// row names unless this failure names its own, and the cause the row shows
// when the line alone would not say it to the operator.
struct StepOutcome {
    bool ok = true;
    unsigned status = kNoStatus;
    std::string line;
    std::string cause;
};
inline StepOutcome StepDone() { return {}; }
inline StepOutcome StepFailed(unsigned status = kNoStatus, std::string line = {}, std::string cause = {}) {
    return {false, status, std::move(line), std::move(cause)};
}

// The cause a failure line gives the operator: "->flash ID 0x1 is not in the
// SPI NOR list, fail\r\n" says "flash ID 0x1 is not in the SPI NOR list".
std::string FailureCause(std::string line);

}  // namespace kestrow::engine
