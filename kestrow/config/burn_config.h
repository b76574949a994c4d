#pragma once
// BurnConfig: every setting a burn needs, one record for the whole process.
// Filled with defaults on construction, overwritten from the active
// configuration file (config.txt) at start-up, edited by the settings pages,
// saved back to the same file, and read by the burn engine's channel threads.
// Written only on the user-interface thread; never changed while channels burn.
//
// Text members are UTF-8; their limits count characters, as the file's readers
// cut them. Flash part numbers are 8-bit text inside the flash records.
#include "kestrow/config/flash_records.h"
#include "kestrow/config/message_sink.h"

#include <array>
#include <map>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrow::config {

inline constexpr int kMaxBurnChannels = 16;  // device_channel is cut to this at start-up
// A port is a device path here (/dev/ttyUSB0, /dev/serial/by-path/...), not a
// short COMn name, so the stored name is as long as a path may be.
inline constexpr std::size_t kPortNameChars = 260;
// Characters the text settings keep.
inline constexpr std::size_t kProjectNameChars = 64;
inline constexpr std::size_t kPathChars = 260;
inline constexpr std::size_t kChipModelChars = 30;
inline constexpr int kPoolChannels = 32;     // channels an address-pool file may name

// Chip types (chip_types.h); the value is the one passed to the transfer library.
inline constexpr int kChipTypeReserved = 12;
// boot_mode_flag of a board that boots only signed code.
inline constexpr int kSecureBootMode = 2;
// Index of the first equal name; kChipTypeReserved for a name not in the table.
int ChipTypeFromName(std::string_view name);
// Name of a chip type; "RESERVER" for an index outside the table.
std::string_view ChipTypeName(int chipType);

// Burn media (chip_mode).
enum ChipMode : std::int32_t {
    kModeNand = 0, kModeSpiNor = 1, kModeSd = 2, kModeDebug = 3, kModeJtag = 4,
    kModeSpiNand = 5, kModeSpiSd = 6, kModeSpiNorAndNand = 7,
};
// Label of a chip_mode on the hardware page; "" for an unknown value.
std::string_view ChipModeLabel(std::int32_t chipMode);

// One partition of the SPI NOR image's partition list.
enum PartitionType : std::uint8_t { kPartitionData = 0, kPartitionBin = 1, kPartitionFs = 2 };
enum PartitionMedium : std::uint8_t { kMediumSpiNor = 0, kMediumSpiNand = 1 };
inline constexpr std::size_t kPartitionNameChars = 10;
struct PartitionEntry {
    std::string name;                 // at most 10 characters
    std::uint32_t size_kib = 0;
    std::uint8_t type = kPartitionData;
    std::uint8_t read_write = 0;
    std::uint8_t hidden = 0;
    std::uint8_t medium = kMediumSpiNor;
    bool operator==(const PartitionEntry&) const = default;
};

// A BIN image to download into a BIN partition.
struct BinDownload {
    std::string partition;             // partition name
    std::string path;                  // image file, resolved with ResolveProgramPath
    std::uint32_t load_address = 0;
    std::uint8_t compare = 0;          // read back and compare after writing
    std::uint8_t backup = 0;           // keep a backup copy in the partition
    bool operator==(const BinDownload&) const = default;
};

// A file-system image for an FS partition; its file name's ending tells the
// file-system type ("sqsh4", "jffs2", "yaffs2").
struct FsImage {
    std::string partition;
    std::string path;
    bool operator==(const FsImage&) const = default;
};

// RAM controller register pair sent before the producer runs.
struct RamRegister {
    std::uint32_t address = 0;
    std::uint32_t value = 0;
    bool operator==(const RamRegister&) const = default;
};
using RamTable = std::vector<RamRegister>;
// RAM size classes of the chip tables, in file order: 16, 32, 64, 128 MB.
enum RamSizeClass : int { kRam16M = 0, kRam32M = 1, kRam64M = 2, kRam128M = 3 };
inline constexpr int kRamSizeClasses = 4;
inline constexpr std::size_t kMaxPartNumbers = 16;
inline constexpr std::size_t kMaxClockPairs = 16;

// Problems noticed while reading a configuration file. The file's reader
// ignores them, as start-up always has; `kestrow config` reports them.
struct ConfigNotes {
    std::vector<std::string> lines;
    // The value of a setting as the file wrote it, and its line: messages
    // quote what the operator typed, not the number it was read as.
    struct Written {
        std::string value;
        int line = 0;
    };
    std::map<std::string, Written, std::less<>> written;  // by key; the last line of a key wins
    const Written* Find(std::string_view key) const;
    // The written value of `key`, else `held` (what the record holds).
    std::string ValueOf(std::string_view key, const std::string& held) const;
};

// Key prefixes of the numbered lists in the configuration file
// ("<prefix> count = n" and "<prefix>n = entry" lines).
inline constexpr std::string_view kSpiNandListKey = "spinand";
inline constexpr std::string_view kSpiNorListKey = "sflash";
inline constexpr std::string_view kPartitionListKey = "partition";
inline constexpr std::string_view kBinDownloadListKey = "bin download";
inline constexpr std::string_view kFsImageListKey = "fs image";

// A list entry the configuration file holds that does not read as a whole
// entry. Its list position keeps what could be read; the file's own text is
// kept too and saved back as it stands, so a save never turns the operator's
// mistake into a valid-looking entry, and what builds from the list can refuse.
struct MalformedEntry {
    std::string_view list;  // one of the list keys above
    std::size_t index = 0;  // zero-based position in the list
    std::string value;      // the entry's text after "="
    std::string file;       // the configuration file and line it came from
    int line = 0;
    // "config.txt line 12: partition 3 = BAD, 4, EXT4, 1, 0, SPI_NOR"
    std::string Describe() const;
};

// Values that the settings pages restore on Cancel: refreshed by Apply.
struct PairedSettings {
    std::string platform_name;
    std::int32_t chip_type = 0;
    std::int32_t chip_mode = 0;
    std::int32_t burned_mode = 0;
    std::int32_t usb20 = 0;
    std::int32_t update = 0;
    std::int32_t ram_type = 0;
    std::int32_t burned_param = 0;
    std::array<std::int32_t, 3> hardware_values{};
};

struct BurnConfig {
    BurnConfig();

    // ---- stored in the configuration file ----
    std::string project_name;                          // kProjectNameChars characters
    std::int32_t device_channel = 0;
    // kPortNameChars characters each; entry 0 is "uart com", the others
    // "uart com 2" ... "uart com 16" (stored when not empty).
    std::array<std::string, kMaxBurnChannels> uart_com;
    std::int32_t uart_baud = 0;
    std::string path_producer;                         // kPathChars characters each
    std::string path_nandboot;
    std::string path_1k_data;
    std::string path_ram;
    std::uint32_t producer_run_addr = 0;
    std::int32_t ddr_freq_param = 0;                   // MHz
    std::int32_t cpu_freq_param = 0;                   // MHz
    std::int32_t chip_type = 0;
    std::string chip_model;                            // kChipModelChars characters
    std::int32_t chip_mode = 0;
    std::int32_t boot_mode_flag = 0;                   // 0, 1 or kSecureBootMode, see the settings page
    std::int32_t burned_mode = 0;                      // 1 none, 2 reset, other power off
    std::vector<SpiNandInfo> spinand_list;
    std::vector<SpiNorInfo> spinor_list;
    std::vector<PartitionEntry> partitions;            // the partition count is its size
    std::vector<BinDownload> bin_downloads;
    std::vector<FsImage> fs_images;
    std::vector<MalformedEntry> malformed_entries;     // entries of the lists above the file did not read whole

    // ---- defaults only, or set elsewhere ----
    std::uint32_t blue_log_missing = 0;                // 1 when blue_addr_log.txt does not exist
    std::array<std::uint32_t, 4> producer_version{};   // from the producer file's "BURN" block
    std::string program_dir;                           // station folder with a trailing "/"
    std::string path_bios;
    std::int32_t platform_type = 0;                    // 1 LINUX, 2 RTOS
    std::string platform_name;
    std::int32_t event_time = 0;                       // seconds
    std::uint32_t usb_pid = 0;
    std::uint32_t usb_vid = 0;
    std::uint32_t cmdline_enable = 0;                  // "Config Command Line" option
    std::uint32_t cmdline_addr = 0;
    std::array<char, 128> cmdline_data{};              // 8-bit text, zero-padded
    // Hardware-page values that have paired copies.
    std::int32_t usb20 = 0;
    std::int32_t update = 0;
    std::int32_t ram_type = 0;                         // the RAM configuration word's type bits
    std::int32_t burned_param = 0;
    std::array<std::int32_t, 3> hardware_values{};     // its bank, column and row choices
    PairedSettings saved;

    // ---- users ----
    std::string producer_password;                     // 20 characters each
    std::string researcher_password;

    // ---- address pools ----
    std::string mac_start_high, mac_start_low, mac_end_high, mac_end_low;
    std::string mac_current_high, mac_current_low;
    std::string serial_prefix;
    std::string serial_start_low, serial_end_low, serial_current_low;
    std::array<std::string, kMaxBurnChannels> channel_mac_low;
    std::string blue_start, blue_end, blue_current;
    std::uint32_t mac_burn = 0, mac_force_write = 0;
    std::uint32_t serial_burn = 0, serial_force_write = 0;
    std::uint32_t blue_burn = 0, blue_force_write = 0;

    // ---- project, clock and RAM tables (SDK_CPU_DDR2.ini) ----
    std::vector<std::string> part_numbers;
    std::vector<std::int32_t> ddr_freqs;               // clock pair i = (cpu_freqs[i], ddr_freqs[i])
    std::vector<std::int32_t> cpu_freqs;
    std::vector<std::array<RamTable, kRamSizeClasses>> ram_tables;  // per clock pair and size class
    std::vector<RamTable> active_ram_tables;           // per clock pair, for the chosen part number
    int clock_index = 0;
    int part_index = 0;
    std::vector<SpiNandInfo> builtin_nand_list;        // built-in SPI NAND table (display only)

    // ---- configuration file ----
    void SetDefaults();
    // 1 when the file was read, 0 when it is missing or cannot be opened (the
    // record then keeps its values). `name` is resolved against the station folder.
    int Load(const std::string& name, ConfigNotes* notes = nullptr);
    // 1 when written, 0 when the file cannot be written (`error`, when given, says why).
    int Save(const std::string& name, std::string* error = nullptr);
    // The file's text as Save writes it (before encoding).
    std::string FormatConfigText() const;
    // The malformed entry at position `index` of `list`, or nullptr.
    const MalformedEntry* FindMalformedEntry(std::string_view list, std::size_t index) const;
    // Forgets the malformed entries of `list` (its entries were replaced).
    void ForgetMalformedEntries(std::string_view list);
    void Apply();

    // Entry parsers; `index` is zero-based (outside the list: 0, nothing changed).
    // 1 when every field was present, else 0 (the fields read so far stay).
    int ParseSpiNandEntry(std::size_t index, std::string_view text);
    int ParseSpiNorEntry(std::size_t index, std::string_view text);
    int ParsePartitionEntry(std::size_t index, std::string_view text);
    int ParseBinDownloadEntry(std::size_t index, std::string_view text);
    int ParseFsImageEntry(std::size_t index, std::string_view text);

    // ---- project, clock and RAM tables ----
    // 1 on success; 0 when start-up must stop (the message has been shown).
    // Lists longer than the record holds are cut, and noted in `notes`.
    int LoadChipTables(const std::string& path, MessageSink& sink, ConfigNotes* notes = nullptr);
    void SelectClockAndPart();
    // Chooses the active RAM tables for chip_model and derives chip_type.
    // 1 on success; 0 after showing the mismatch message.
    int DeriveChipType(MessageSink& sink);

    // ---- address pools ----
    // 1 when the pool file had entries, else 0. Reads only: every entry, of
    // whatever channel, stays in the file and counts towards the next value,
    // so no start-up can hand out an address again.
    int LoadAddressPool(const std::string& file, const std::string& prefix, MessageSink& sink);
    bool WriteChannelAddress(const std::string& file, const std::string& prefix, const std::string& flag,
                             const std::string& address, int channel);
    // "Current MAC Reset" with the page's start-low text; the pool file is
    // config_addr.txt in the station folder.
    void ResetMacPool(const std::string& startLowText, MessageSink& sink);
    // 1 when read, 0 when the file does not exist (found = 0), -1 when it cannot be
    // opened or the current address lies beyond blue_end.
    int ScanBluetoothLog(const std::string& file, int& found, MessageSink& sink);

    // ---- passwords (password.cfg in the station folder) ----
    // 1 when the file was read, 0 when it is missing or unreadable (the passwords keep their values).
    int LoadPasswords();
    // 1 when written, 0 on failure (the previous file stays).
    int SavePasswords() const;
};

// The process-wide record.
BurnConfig& TheBurnConfig();

}  // namespace kestrow::config
