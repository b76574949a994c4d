#pragma once
// Status codes a burn posts to the window, their kind and the language entry
// that gives their text. Data, not code: the table is checked by a unit test.
#include <array>
#include <cstdint>
#include <optional>

namespace kestrow::engine {

enum class StatusKind : std::uint8_t { Progress, Failure, Success, Command };

inline constexpr int kNoText = -1;

struct StatusInfo {
    unsigned code;
    StatusKind kind;
    int text;       // language entry; the SPI NOR text for the flash-ID codes
    int nand_text;  // the SPI NAND text of the flash-ID codes, else kNoText
};

namespace status {
inline constexpr unsigned kReady = 0;
inline constexpr unsigned kStartBurn = 2;
inline constexpr unsigned kSetRam = 7;
inline constexpr unsigned kSetRamFailed = 8;
inline constexpr unsigned kSwitchComFailed = 12;
inline constexpr unsigned kTest = 21;
inline constexpr unsigned kTestFailed = 22;
inline constexpr unsigned kCompletion = 30;
inline constexpr unsigned kFlashId = 43;
inline constexpr unsigned kFlashIdFailed = 44;
inline constexpr unsigned kFlashParamFailed = 49;
inline constexpr unsigned kBurnedParamFailed = 62;
inline constexpr unsigned kDownloadProducer = 63;
inline constexpr unsigned kDownloadProducerFailed = 64;
inline constexpr unsigned kDownloadBoot = 77;
inline constexpr unsigned kDownloadBootFailed = 78;
inline constexpr unsigned kSetMode = 90;
inline constexpr unsigned kSetModeFailed = 91;
inline constexpr unsigned kSetNandParam = 95;
inline constexpr unsigned kSetNandParamFailed = 96;
inline constexpr unsigned kSecurityArea = 97;
inline constexpr unsigned kSecurityAreaFailed = 98;
inline constexpr unsigned kCloseFailed = 126;
inline constexpr unsigned kImageFileWrong = 135;
inline constexpr unsigned kSpiImageFailed = 140;
inline constexpr unsigned kSpiImage = 141;
inline constexpr unsigned kBootAreaFailed = 157;
inline constexpr unsigned kRefreshList = 158;
inline constexpr unsigned k1kData = 159;
inline constexpr unsigned k1kDataFailed = 160;
}  // namespace status

inline constexpr std::array<StatusInfo, 30> kStatusTable = {{
    {status::kReady, StatusKind::Command, 56, kNoText},
    {status::kStartBurn, StatusKind::Progress, 58, kNoText},
    {status::kSetRam, StatusKind::Progress, 59, kNoText},
    {status::kSetRamFailed, StatusKind::Failure, 60, kNoText},
    {status::kSwitchComFailed, StatusKind::Failure, 308, kNoText},
    {status::kTest, StatusKind::Progress, 81, kNoText},
    {status::kTestFailed, StatusKind::Failure, 82, kNoText},
    {status::kCompletion, StatusKind::Success, 67, kNoText},
    {status::kFlashId, StatusKind::Progress, 89, 83},
    {status::kFlashIdFailed, StatusKind::Failure, 90, 84},
    {status::kFlashParamFailed, StatusKind::Failure, 92, 86},
    {status::kBurnedParamFailed, StatusKind::Failure, 221, kNoText},
    {status::kDownloadProducer, StatusKind::Progress, 70, kNoText},
    {status::kDownloadProducerFailed, StatusKind::Failure, 71, kNoText},
    {status::kDownloadBoot, StatusKind::Progress, 227, kNoText},
    {status::kDownloadBootFailed, StatusKind::Failure, 228, kNoText},
    {status::kSetMode, StatusKind::Progress, 237, kNoText},
    {status::kSetModeFailed, StatusKind::Failure, 238, kNoText},
    {status::kSetNandParam, StatusKind::Progress, 241, kNoText},
    {status::kSetNandParamFailed, StatusKind::Failure, 242, kNoText},
    {status::kSecurityArea, StatusKind::Progress, 243, kNoText},
    {status::kSecurityAreaFailed, StatusKind::Failure, 244, kNoText},
    {status::kCloseFailed, StatusKind::Failure, 260, kNoText},
    {status::kImageFileWrong, StatusKind::Failure, 349, kNoText},
    {status::kSpiImageFailed, StatusKind::Failure, 353, kNoText},
    {status::kSpiImage, StatusKind::Progress, 355, kNoText},
    {status::kBootAreaFailed, StatusKind::Failure, 88, kNoText},
    {status::kRefreshList, StatusKind::Command, kNoText, kNoText},
    {status::k1kData, StatusKind::Progress, 377, kNoText},
    {status::k1kDataFailed, StatusKind::Failure, 378, kNoText},
}};

// The table entry of `code`; nullptr for a code this program never posts.
const StatusInfo* FindStatus(unsigned code);

// Burn medium sent to the producer for a chip_mode; nullopt for the modes that
// have none (3 debug, 4 JTAG, anything above 7): such a burn is refused.
std::optional<std::uint8_t> MediumCode(int chipMode);
inline constexpr std::uint8_t kMediumSpiNor = 1;

// Language entry shown for `info` with the configured chip_mode: the flash-ID
// codes show the SPI NOR text only for medium 1, the SPI NAND text otherwise.
int StatusTextIndex(const StatusInfo& info, int chipMode);

// True for the medium codes burned by the SPI NOR path.
bool IsSpiNorMedium(std::uint8_t medium);

}  // namespace kestrow::engine
