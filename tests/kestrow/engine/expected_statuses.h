#pragma once
// Every status code the station posts, its kind and its English texts, written
// out from the station's own list of statuses and never taken from the table
// the code uses, so that a wrong row there shows.
#include "kestrow/engine/status_codes.h"

#include <array>

namespace kestrow::engine::testing {

struct ExpectedStatus {
    unsigned code;
    StatusKind kind;
    const char* nor_text;   // the text with an SPI NOR medium (chip mode 1); "" for a command without one
    const char* nand_text;  // the text with an SPI NAND medium (chip mode 5)
};

inline constexpr std::array<ExpectedStatus, 30> kExpectedStatuses = {{
    {0, StatusKind::Command, "Ready", "Ready"},
    {2, StatusKind::Progress, "Start burn", "Start burn"},
    {7, StatusKind::Progress, "Start to set RAM parameter", "Start to set RAM parameter"},
    {8, StatusKind::Failure, "Failed  to set RAM parameter", "Failed  to set RAM parameter"},
    {12, StatusKind::Failure, "Failed to set com interface type!", "Failed to set com interface type!"},
    {21, StatusKind::Progress, "Start to test", "Start to test"},
    {22, StatusKind::Failure, "Failed to test", "Failed to test"},
    {30, StatusKind::Success, "Completion", "Completion"},
    {43, StatusKind::Progress, "Begin to get SPI NOR Flash chip ID", "Begin to get SPI NAND Flash chip ID"},
    {44, StatusKind::Failure, "Failed to get SPI NOR Flash chip ID", "Failed to get SPI NAND Flash chip ID"},
    {49, StatusKind::Failure, "Failed to set SPI NOR Flash chip parameters",
     "Failed to set SPI NAND Flash chip parameter"},
    {62, StatusKind::Failure, "Failed to set parameter for producer", "Failed to set parameter for producer"},
    {63, StatusKind::Progress, "Begin to download producer", "Begin to download producer"},
    {64, StatusKind::Failure, "Failed to download producer", "Failed to download producer"},
    {77, StatusKind::Progress, "Start to download boot", "Start to download boot"},
    {78, StatusKind::Failure, "Failed to download boot", "Failed to download boot"},
    {90, StatusKind::Progress, "Set burn mode", "Set burn mode"},
    {91, StatusKind::Failure, "Failed to set burn mode", "Failed to set burn mode"},
    {95, StatusKind::Progress, "Set SPI NAND Flash parameters", "Set SPI NAND Flash parameters"},
    {96, StatusKind::Failure, "Failed to set SPI NAND Flash parameters", "Failed to set SPI NAND Flash parameters"},
    {97, StatusKind::Progress, "Set security area", "Set security area"},
    {98, StatusKind::Failure, "Failed to set security area", "Failed to set security area"},
    {126, StatusKind::Failure, "Failed to terminate burn process", "Failed to terminate burn process"},
    {135, StatusKind::Failure, "Get partition wrong when download image", "Get partition wrong when download image"},
    {140, StatusKind::Failure, "Failed to download SPI NOR Flash image.", "Failed to download SPI NOR Flash image."},
    {141, StatusKind::Progress, "Start to download SPI image file.", "Start to download SPI image file."},
    {157, StatusKind::Failure, "Failed to send the extended parameter or set boot partition size",
     "Failed to send the extended parameter or set boot partition size"},
    {158, StatusKind::Command, "", ""},
    {159, StatusKind::Progress, "Download 1k signature verification data", "Download 1k signature verification data"},
    {160, StatusKind::Failure, "Failed to download 1k signature verification data",
     "Failed to download 1k signature verification data"},
}};

}  // namespace kestrow::engine::testing
