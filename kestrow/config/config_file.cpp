// Reading and writing the configuration file (config.txt): UTF-16LE with a
// byte-order mark, CR LF line ends, "key = value" lines and "#" comments.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/number_text.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kestrow::config {
namespace {

// A count line larger than this is held at it: no configuration has that many
// entries, and an absurd count must not exhaust memory.
constexpr std::int32_t kMaxListEntries = 1024;

constexpr std::string_view kPartitionTypeNames[] = {"DATA", "BIN", "FS"};
constexpr std::string_view kPartitionMediumNames[] = {"SPI_NOR", "SPINAND"};

std::string Format(const char* format, auto... args) {
    char buffer[256];
    int n = std::snprintf(buffer, sizeof buffer, format, args...);
    return std::string(buffer, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

// Copies 8-bit text into a fixed field, at most size - 1 bytes and a zero.
template <std::size_t N>
void CopyNarrow(char (&field)[N], std::string_view text) {
    std::string cut = CutToBytes(text, N - 1);
    std::memset(field, 0, N);
    std::memcpy(field, cut.data(), cut.size());
}

template <std::size_t N>
std::string_view NarrowText(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

// Walks a "a, b, c" value one separated field at a time.
class FieldReader {
public:
    explicit FieldReader(std::string_view text) : text_(text) {}
    // The text up to the next ","; false when no "," follows.
    bool Next(std::string_view& field) {
        std::size_t comma = text_.find(',');
        if (comma == std::string_view::npos) return false;
        field = text_.substr(0, comma);
        text_.remove_prefix(comma + 1);
        return true;
    }
    std::string_view Rest() const { return text_; }

private:
    std::string_view text_;
};

// A named choice ("BIN") or its number; -1 when neither.
template <std::size_t N>
int ReadChoice(std::string_view text, const std::string_view (&names)[N]) {
    std::string t = ToUpperAscii(Trim(text));
    for (std::size_t i = 0; i < N; ++i)
        if (t == names[i]) return static_cast<int>(i);
    if (t.size() == 1 && t[0] >= '0' && t[0] < static_cast<char>('0' + N)) return t[0] - '0';
    return -1;
}

std::string ChoiceName(unsigned value, auto& names) {
    return value < std::size(names) ? std::string(names[value]) : std::to_string(value);
}

// A list stored as "<prefix> count = n" and "<prefix>n = entry" lines.
struct ListKey {
    std::string_view prefix;
    std::string_view count_key;
};
// "uart com 2" ... "uart com 16": port-name entries 2 to 16.
constexpr std::string_view kFurtherPortKey = "uart com ";
constexpr ListKey kSpiNandKey{"spinand", "spinand supported count"};
constexpr ListKey kSpiNorKey{"sflash", "sflash supported count"};
constexpr ListKey kPartitionKey{"partition", "partition count"};
constexpr ListKey kBinKey{"bin download", "bin download count"};
constexpr ListKey kFsKey{"fs image", "fs image count"};

// Handles one line of a numbered list: the count line resizes the list (zero
// entries), an entry line fills entry n - 1 when 1 <= n <= count.
using EntryParser = int (BurnConfig::*)(std::size_t, std::string_view);

template <typename T>
void ReadListLine(BurnConfig& config, const ListKey& list, std::vector<T>& items, EntryParser parse,
                  const std::string& key, const std::string& value, int lineNumber, ConfigNotes* notes) {
    auto note = [&](const std::string& text) {
        if (notes) notes->lines.push_back("line " + std::to_string(lineNumber) + ": " + text);
    };
    if (key == list.count_key) {
        std::int32_t count = ReadDecimal(value);
        if (count < 0 || count > kMaxListEntries) {
            note(std::string(list.count_key) + " " + std::to_string(count) + " is out of range 0.." +
                 std::to_string(kMaxListEntries));
            count = count < 0 ? 0 : kMaxListEntries;
        }
        items.assign(static_cast<std::size_t>(count), T{});
        return;
    }
    std::int32_t n = ReadDecimal(std::string_view(key).substr(list.prefix.size()));
    if (n < 1 || static_cast<std::size_t>(n) > items.size()) {
        note(std::string(list.prefix) + " entry " + std::to_string(n) + " lies outside the count " +
             std::to_string(items.size()) + " and is ignored");
        return;
    }
    if (!(config.*parse)(static_cast<std::size_t>(n - 1), value))
        note(std::string(list.prefix) + " entry " + std::to_string(n) +
             " is incomplete or malformed; the fields after the fault stay zero");
}

}  // namespace

int BurnConfig::ParseSpiNandEntry(std::size_t index, std::string_view text) {
    if (index >= spinand_list.size()) return 0;
    SpiNandInfo& r = spinand_list[index];
    r = SpiNandInfo{};
    FieldReader f(text);
    std::string_view v;
    if (!f.Next(v)) return 0;
    r.chip_id = ReadHex(Trim(v));
    if (!f.Next(v)) return 0;
    r.page_size = static_cast<std::uint16_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    r.pages_per_block = static_cast<std::uint16_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    r.total_blocks = static_cast<std::uint16_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    r.plane_blocks = static_cast<std::uint16_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    r.spare_size = static_cast<std::uint8_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    r.custom_nand = static_cast<std::uint8_t>(ReadHex(v));
    if (!f.Next(v)) return 0;
    r.flag = ReadHex(v);
    if (!f.Next(v)) return 0;
    r.clock = static_cast<std::uint32_t>(ReadDecimal(v));
    CopyNarrow(r.part_number, Trim(f.Rest()));
    return 1;
}

int BurnConfig::ParseSpiNorEntry(std::size_t index, std::string_view text) {
    if (index >= spinor_list.size()) return 0;
    SpiNorInfo& r = spinor_list[index];
    r = SpiNorInfo{};
    FieldReader f(text);
    std::string_view v;
    if (!f.Next(v)) return 0;
    r.chip_id = ReadHex(Trim(v));
    std::uint32_t* sizes[] = {&r.total_size, &r.page_size, &r.program_size, &r.erase_size, &r.clock};
    for (std::uint32_t* field : sizes) {
        if (!f.Next(v)) return 0;
        *field = static_cast<std::uint32_t>(ReadDecimal(v));
    }
    if (!f.Next(v)) return 0;
    r.flag = static_cast<std::uint8_t>(ReadHex(v));
    if (!f.Next(v)) return 0;
    r.protect_mask = static_cast<std::uint8_t>(ReadHex(v));
    // The part number ends at an optional further "," that introduces Ex_Flag.
    std::string_view rest = f.Rest();
    std::size_t comma = rest.find(',');
    CopyNarrow(r.part_number, Trim(rest.substr(0, comma)));
    if (comma != std::string_view::npos) r.ex_flag = static_cast<std::uint8_t>(ReadHex(rest.substr(comma + 1)));
    return 1;
}

int BurnConfig::ParsePartitionEntry(std::size_t index, std::string_view text) {
    if (index >= partitions.size()) return 0;
    PartitionEntry& p = partitions[index];
    p = PartitionEntry{};
    FieldReader f(text);
    std::string_view v;
    if (!f.Next(v)) return 0;
    p.name = CutToChars(Trim(v), kPartitionNameChars);
    if (!f.Next(v)) return 0;
    p.size_kib = static_cast<std::uint32_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    int type = ReadChoice(v, kPartitionTypeNames);
    if (type < 0) return 0;
    p.type = static_cast<std::uint8_t>(type);
    if (!f.Next(v)) return 0;
    p.read_write = static_cast<std::uint8_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    p.hidden = static_cast<std::uint8_t>(ReadDecimal(v));
    int medium = ReadChoice(f.Rest(), kPartitionMediumNames);
    if (medium < 0) return 0;
    p.medium = static_cast<std::uint8_t>(medium);
    return 1;
}

int BurnConfig::ParseBinDownloadEntry(std::size_t index, std::string_view text) {
    if (index >= bin_downloads.size()) return 0;
    BinDownload& b = bin_downloads[index];
    b = BinDownload{};
    FieldReader f(text);
    std::string_view v;
    if (!f.Next(v)) return 0;
    b.partition = CutToChars(Trim(v), kPartitionNameChars);
    if (!f.Next(v)) return 0;
    b.load_address = ReadHex(v);
    if (!f.Next(v)) return 0;
    b.compare = static_cast<std::uint8_t>(ReadDecimal(v));
    if (!f.Next(v)) return 0;
    b.backup = static_cast<std::uint8_t>(ReadDecimal(v));
    b.path = CutToChars(Trim(f.Rest()), 260);
    return b.path.empty() ? 0 : 1;
}

int BurnConfig::ParseFsImageEntry(std::size_t index, std::string_view text) {
    if (index >= fs_images.size()) return 0;
    FsImage& fs = fs_images[index];
    fs = FsImage{};
    FieldReader f(text);
    std::string_view v;
    if (!f.Next(v)) return 0;
    fs.partition = CutToChars(Trim(v), kPartitionNameChars);
    fs.path = CutToChars(Trim(f.Rest()), 260);
    return fs.path.empty() ? 0 : 1;
}

int BurnConfig::Load(const std::string& name, ConfigNotes* notes) {
    std::string bytes;
    if (!ReadWholeFile(ResolveProgramPath(name), bytes)) return 0;
    std::u16string units;
    if (!bytes.empty() && bytes.find('\0') == std::string::npos && !StartsWith(bytes, "\xFF\xFE")) {
        // Hand-written 8-bit text: read it as such rather than as UTF-16 garbage
        // that matches no key. Save writes it back as UTF-16LE.
        std::string_view text(bytes);
        if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
        units = Utf8ToUtf16(text);
        if (notes) notes->lines.push_back("the file is 8-bit text, not UTF-16LE; read as UTF-8");
    } else {
        // The first two bytes are the byte-order mark; their value is not checked.
        units = DecodeUtf16Le(std::string_view(bytes).substr(std::min<std::size_t>(2, bytes.size())));
    }

    int lineNumber = 0;
    std::size_t start = 0;
    while (start < units.size()) {
        // Lines are read whole, however long.
        std::size_t end = units.find(u'\n', start);
        end = end == std::u16string::npos ? units.size() : end + 1;
        std::string line = TrimRight(Utf16ToUtf8(std::u16string_view(units).substr(start, end - start)));
        start = end;
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        std::size_t eq = line.find('=');
        std::string key = eq == std::string::npos ? "" : Trim(std::string_view(line).substr(0, eq));
        std::string value = eq == std::string::npos ? "" : Trim(std::string_view(line).substr(eq + 1));
        auto readList = [&](const ListKey& list, auto& items, EntryParser parse) {
            ReadListLine(*this, list, items, parse, key, value, lineNumber, notes);
        };

        if (key == "project name") {
            project_name = CutToChars(value, 64);
        } else if (key == "device channel") {
            device_channel = ReadDecimal(value);
        } else if (StartsWith(key, "uart")) {
            if (key == "uart com") {
                uart_com[0] = CutToChars(value, kPortNameChars);
            } else if (key == "uart baud") {
                uart_baud = ReadDecimal(value);
            } else if (StartsWith(key, kFurtherPortKey)) {
                // The further port-name entries: one per row of a station with several channels.
                std::int32_t n = ReadDecimal(std::string_view(key).substr(kFurtherPortKey.size()));
                if (n >= 2 && n <= kMaxBurnChannels)
                    uart_com[static_cast<std::size_t>(n - 1)] = CutToChars(value, kPortNameChars);
                else if (notes)
                    notes->lines.push_back("line " + std::to_string(lineNumber) + ": " + key +
                                           " names no port-name entry (2.." + std::to_string(kMaxBurnChannels) +
                                           ") and is ignored");
            }
        } else if (StartsWith(key, "path")) {
            if (key == "path producer") path_producer = CutToChars(value, 260);
            else if (key == "path 1k data") path_1k_data = CutToChars(value, 260);
            else if (key == "path nandboot") path_nandboot = CutToChars(value, 260);
            else if (key == "path ram") path_ram = CutToChars(value, 260);
        } else if (key == "producer run addr") {
            producer_run_addr = ReadHex(value);
        } else if (key == "ddr_freq_param") {
            ddr_freq_param = ReadDecimal(value);
        } else if (key == "cpu_freq_param") {
            cpu_freq_param = ReadDecimal(value);
        } else if (StartsWith(key, "chip")) {
            if (key == "chip type") {
                chip_type = ChipTypeFromName(value);
                if (chip_type == kChipTypeReserved && value != ChipTypeName(kChipTypeReserved) && notes)
                    notes->lines.push_back("line " + std::to_string(lineNumber) + ": chip type \"" + value +
                                           "\" is unknown; RESERVER used");
            } else if (key == "chip model") {
                chip_model = CutToChars(value, 30);
            } else if (key == "chip mode") {
                chip_mode = ReadDecimal(value);
            }
        } else if (key == "burned mode") {
            burned_mode = ReadDecimal(value);
        } else if (StartsWith(key, kSpiNandKey.prefix)) {
            readList(kSpiNandKey, spinand_list, &BurnConfig::ParseSpiNandEntry);
        } else if (StartsWith(key, kSpiNorKey.prefix)) {
            readList(kSpiNorKey, spinor_list, &BurnConfig::ParseSpiNorEntry);
        } else if (StartsWith(key, kPartitionKey.prefix)) {
            readList(kPartitionKey, partitions, &BurnConfig::ParsePartitionEntry);
        } else if (StartsWith(key, kBinKey.prefix)) {
            readList(kBinKey, bin_downloads, &BurnConfig::ParseBinDownloadEntry);
        } else if (StartsWith(key, kFsKey.prefix)) {
            readList(kFsKey, fs_images, &BurnConfig::ParseFsImageEntry);
        }
        if (key == "boot mode flag") boot_mode_flag = ReadDecimal(value);
    }
    Apply();
    return 1;
}

std::string BurnConfig::FormatConfigText() const {
    std::string t;
    auto line = [&t](const std::string& s) { t += s + "\r\n"; };
    line("###Project Name");
    line("project name = " + project_name);
    line("");
    line("###Devie Number");
    line(Format("device channel = %d", device_channel));
    line("");
    line("###UART");
    line("uart com = " + uart_com[0]);
    for (std::size_t i = 1; i < uart_com.size(); ++i)
        if (!uart_com[i].empty()) line(std::string(kFurtherPortKey) + std::to_string(i + 1) + " = " + uart_com[i]);
    line(Format("uart baud = %d", uart_baud));
    line("");
    line("path producer = " + path_producer);
    line("path nandboot = " + path_nandboot);
    line("path 1k data = " + path_1k_data);
    line("path ram = " + path_ram);
    line("");
    line(Format("producer run addr = 0x%08x", producer_run_addr));
    line("");
    line(Format("ddr_freq_param = %d", ddr_freq_param));
    line(Format("cpu_freq_param = %d", cpu_freq_param));
    line("");
    line("chip type = " + std::string(ChipTypeName(chip_type)));
    line("chip model = " + chip_model);
    line(Format("chip mode = %d", chip_mode));
    line(Format("boot mode flag = %d", boot_mode_flag));
    line(Format("burned mode = %d", burned_mode));
    line("");
    line(Format("spinand supported count = %d", static_cast<int>(spinand_list.size())));
    for (std::size_t i = 0; i < spinand_list.size(); ++i) {
        const SpiNandInfo& r = spinand_list[i];
        line(Format("spinand%2d = 0x%x, %4d, %3d, %d, %d, %3d, 0x%x, 0x%x, %d, ", static_cast<int>(i + 1),
                    r.chip_id, r.page_size, r.pages_per_block, r.total_blocks, r.plane_blocks, r.spare_size,
                    r.custom_nand, r.flag, static_cast<int>(r.clock)) +
             std::string(NarrowText(r.part_number)));
    }
    line("");
    line(Format("sflash supported count = %d", static_cast<int>(spinor_list.size())));
    for (std::size_t i = 0; i < spinor_list.size(); ++i) {
        const SpiNorInfo& r = spinor_list[i];
        line(Format("sflash%2d = 0x%x, %4d, %4d, %3d, %d, %d, 0x%x, 0x%x, ", static_cast<int>(i + 1), r.chip_id,
                    static_cast<int>(r.total_size), static_cast<int>(r.page_size), static_cast<int>(r.program_size),
                    static_cast<int>(r.erase_size), static_cast<int>(r.clock), r.flag, r.protect_mask) +
             std::string(NarrowText(r.part_number)) + Format(", 0x%x", r.ex_flag));
    }
    line("");
    line(Format("partition count = %d", static_cast<int>(partitions.size())));
    for (std::size_t i = 0; i < partitions.size(); ++i) {
        const PartitionEntry& p = partitions[i];
        line(Format("partition%2d = ", static_cast<int>(i + 1)) + p.name + Format(", %d, ", static_cast<int>(p.size_kib)) +
             ChoiceName(p.type, kPartitionTypeNames) + Format(", %d, %d, ", p.read_write, p.hidden) +
             ChoiceName(p.medium, kPartitionMediumNames));
    }
    line("");
    line(Format("bin download count = %d", static_cast<int>(bin_downloads.size())));
    for (std::size_t i = 0; i < bin_downloads.size(); ++i) {
        const BinDownload& b = bin_downloads[i];
        line(Format("bin download%2d = ", static_cast<int>(i + 1)) + b.partition +
             Format(", 0x%08x, %d, %d, ", b.load_address, b.compare, b.backup) + b.path);
    }
    line("");
    line(Format("fs image count = %d", static_cast<int>(fs_images.size())));
    for (std::size_t i = 0; i < fs_images.size(); ++i)
        line(Format("fs image%2d = ", static_cast<int>(i + 1)) + fs_images[i].partition + ", " + fs_images[i].path);
    return t;
}

int BurnConfig::Save(const std::string& name) {
    std::string bytes = "\xFF\xFE" + EncodeUtf16Le(Utf8ToUtf16(FormatConfigText()));
    if (!WriteWholeFile(ResolveProgramPath(name), bytes)) return 0;
    Apply();
    return 1;
}

}  // namespace kestrow::config
