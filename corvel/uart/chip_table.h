#pragma once
// What each chip type's boot ROM expects to wake up and what it prints when ready.
#include <array>
#include <string_view>

namespace corvel::uart {

struct ChipBoot {
    std::string_view wake;        // one character per wake round (up to three)
    std::string_view secureWake;  // sent instead when the secure-boot flag is 2
    std::string_view prompt;
    std::string_view securePrompt;  // tried after `prompt`; empty when none
};

constexpr unsigned kFirstSerialChip = 6;
constexpr unsigned kLastSerialChip = 11;

constexpr std::array<ChipBoot, kLastSerialChip - kFirstSerialChip + 1> kChipBoot{{
    {"qm\r", "qm\r", "Q3D_UART_BOOT>#", ""},           // 6
    {"kkk", "", "Q3B_UART_BOOT>#", ""},                // 7
    {"kkk", "", "Q4_UART_BOOT>#", ""},                 // 8
    {"kkk", "sss", "Q7_UART_BOOT>#", "Q7_SecureUART_BOOT>#"},  // 9
    {"kkk", "", "Q7L_UART_BOOT>#", ""},                // 10
    {"kkk", "", "Tarrow_UART_BOOT>#", ""},             // 11
}};

// The boot data of `chipType`, or nullptr for types without a serial boot.
constexpr const ChipBoot* FindChipBoot(unsigned chipType) {
    if (chipType < kFirstSerialChip || chipType > kLastSerialChip) return nullptr;
    return &kChipBoot[chipType - kFirstSerialChip];
}

// Printed by the chip-type-11 RAM test program when the RAM works.
constexpr std::string_view kRamTestMarker = "REG32(80000000)=12345678";
// The boot ROM's reply to a command it did not understand.
constexpr std::string_view kBootError = "Err Comm";

}  // namespace corvel::uart
