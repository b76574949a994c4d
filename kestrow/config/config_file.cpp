// Reading and writing the configuration file (config.txt): UTF-16LE with a
// byte-order mark, CR LF line ends, "key = value" lines and "#" comments.
#include "kestrow/config/burn_config.h"
#include "kestrow/base/atomic_file.h"
#include "kestrow/base/unicode.h"
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

// How a scalar key's value is read and written.
enum class ValueForm {
    Text,          // copied, cut to `width` characters
    FirstPort,     // the first channel's port name, cut to `width` characters
    Decimal,       // "%d", read with the decimal reader
    Hex,           // "0x%08x", read with the hex reader
    ChipTypeName,  // the chip-type table's name; an unknown name reads as RESERVER
};

// One "key = value" line of the file: its key, the lines the file carries
// before it (comments and blank lines, each ending in CR LF), how its value
// is read and written, and the member it holds.
struct ScalarKey {
    std::string_view key;
    std::string_view before = {};
    ValueForm form = ValueForm::Text;
    std::size_t width = 0;
    std::string BurnConfig::*text = nullptr;
    std::int32_t BurnConfig::*number = nullptr;
    std::uint32_t BurnConfig::*hex = nullptr;
};

// Every scalar key, in the order the file holds them.
constexpr ScalarKey kScalarKeys[] = {
    {.key = "project name", .before = "###Project Name\r\n", .form = ValueForm::Text, .width = kProjectNameChars,
     .text = &BurnConfig::project_name},
    {.key = "device channel", .before = "\r\n###Devie Number\r\n", .form = ValueForm::Decimal,
     .number = &BurnConfig::device_channel},
    {.key = "uart com", .before = "\r\n###UART\r\n", .form = ValueForm::FirstPort, .width = kPortNameChars},
    {.key = "uart baud", .form = ValueForm::Decimal, .number = &BurnConfig::uart_baud},
    {.key = "path producer", .before = "\r\n", .form = ValueForm::Text, .width = kPathChars,
     .text = &BurnConfig::path_producer},
    {.key = "path nandboot", .form = ValueForm::Text, .width = kPathChars, .text = &BurnConfig::path_nandboot},
    {.key = "path 1k data", .form = ValueForm::Text, .width = kPathChars, .text = &BurnConfig::path_1k_data},
    {.key = "path ram", .form = ValueForm::Text, .width = kPathChars, .text = &BurnConfig::path_ram},
    {.key = "producer run addr", .before = "\r\n", .form = ValueForm::Hex, .hex = &BurnConfig::producer_run_addr},
    {.key = "ddr_freq_param", .before = "\r\n", .form = ValueForm::Decimal, .number = &BurnConfig::ddr_freq_param},
    {.key = "cpu_freq_param", .form = ValueForm::Decimal, .number = &BurnConfig::cpu_freq_param},
    {.key = "chip type", .before = "\r\n", .form = ValueForm::ChipTypeName, .number = &BurnConfig::chip_type},
    {.key = "chip model", .form = ValueForm::Text, .width = kChipModelChars, .text = &BurnConfig::chip_model},
    {.key = "chip mode", .form = ValueForm::Decimal, .number = &BurnConfig::chip_mode},
    {.key = "boot mode flag", .form = ValueForm::Decimal, .number = &BurnConfig::boot_mode_flag},
    {.key = "burned mode", .form = ValueForm::Decimal, .number = &BurnConfig::burned_mode},
};

const ScalarKey* FindScalarKey(std::string_view key) {
    for (const ScalarKey& k : kScalarKeys)
        if (k.key == key) return &k;
    return nullptr;
}

// A 32-bit number as the hex reader is meant to read it: an optional "0x",
// then one to eight hex digits (blanks between them are skipped by the
// reader, so they are allowed here too).
bool IsHexNumberText(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    std::size_t digits = 0;
    for (char c : text) {
        if (IsHex(c)) ++digits;
        else if (c != ' ') return false;
    }
    return digits >= 1 && digits <= 8;
}

// Reads one scalar value into its member.
void ReadScalar(BurnConfig& config, const ScalarKey& k, const std::string& value, int lineNumber,
                ConfigNotes* notes) {
    switch (k.form) {
        case ValueForm::Text: config.*k.text = CutToChars(value, k.width); break;
        case ValueForm::FirstPort: config.uart_com[0] = CutToChars(value, k.width); break;
        case ValueForm::Decimal: config.*k.number = ReadDecimal(value); break;
        case ValueForm::Hex:
            config.*k.hex = ReadHex(value);
            if (!IsHexNumberText(value) && notes)
                notes->lines.push_back("line " + std::to_string(lineNumber) + ": " + std::string(k.key) + " \"" + value +
                                       "\" is not a hex number" + Format("; 0x%08x used", config.*k.hex));
            break;
        case ValueForm::ChipTypeName:
            config.*k.number = ChipTypeFromName(value);
            if (config.*k.number == kChipTypeReserved && value != ChipTypeName(kChipTypeReserved) && notes)
                notes->lines.push_back("line " + std::to_string(lineNumber) + ": chip type \"" + value +
                                       "\" is unknown; RESERVER used");
            break;
    }
}

// The value text of one scalar key as the file stores it.
std::string ScalarText(const BurnConfig& config, const ScalarKey& k) {
    switch (k.form) {
        case ValueForm::Text: return config.*k.text;
        case ValueForm::FirstPort: return config.uart_com[0];
        case ValueForm::Decimal: return Format("%d", config.*k.number);
        case ValueForm::Hex: return Format("0x%08x", config.*k.hex);
        case ValueForm::ChipTypeName: return std::string(ChipTypeName(config.*k.number));
    }
    return {};
}

// A list stored as "<prefix> count = n" and "<prefix>n = entry" lines.
struct ListKey {
    std::string_view prefix;
    std::string_view count_key;
};
constexpr ListKey kSpiNandKey{kSpiNandListKey, "spinand supported count"};
constexpr ListKey kSpiNorKey{kSpiNorListKey, "sflash supported count"};
constexpr ListKey kPartitionKey{kPartitionListKey, "partition count"};
constexpr ListKey kBinKey{kBinDownloadListKey, "bin download count"};
constexpr ListKey kFsKey{kFsImageListKey, "fs image count"};
// "uart com 2" ... "uart com 16": port-name entries 2 to 16.
constexpr std::string_view kFurtherPortKey = "uart com ";

// Handles one line of a numbered list: the count line resizes the list (zero
// entries), an entry line fills entry n - 1 when 1 <= n <= count.
using EntryParser = int (BurnConfig::*)(std::size_t, std::string_view);

template <typename T>
void ReadListLine(BurnConfig& config, const ListKey& list, std::vector<T>& items, EntryParser parse,
                  const std::string& key, const std::string& value, const std::string& file, int lineNumber,
                  ConfigNotes* notes) {
    auto note = [&](const std::string& text) {
        if (notes) notes->lines.push_back("line " + std::to_string(lineNumber) + ": " + text);
    };
    auto& malformed = config.malformed_entries;
    if (key == list.count_key) {
        std::int32_t count = ReadDecimal(value);
        if (count < 0 || count > kMaxListEntries) {
            note(std::string(list.count_key) + " " + value + " is out of range 0.." + std::to_string(kMaxListEntries));
            count = count < 0 ? 0 : kMaxListEntries;
        }
        items.assign(static_cast<std::size_t>(count), T{});
        config.ForgetMalformedEntries(list.prefix);
        return;
    }
    std::int32_t n = ReadDecimal(std::string_view(key).substr(list.prefix.size()));
    if (n < 1 || static_cast<std::size_t>(n) > items.size()) {
        note(std::string(list.prefix) + " entry " + Trim(std::string_view(key).substr(list.prefix.size())) +
             " lies outside the count " + std::to_string(items.size()) + " and is ignored");
        return;
    }
    const std::size_t index = static_cast<std::size_t>(n - 1);
    std::erase_if(malformed, [&](const MalformedEntry& m) { return m.list == list.prefix && m.index == index; });
    if (!(config.*parse)(index, value)) {
        note(std::string(list.prefix) + " entry " + std::to_string(n) +
             " is incomplete or malformed; the fields after the fault stay zero");
        malformed.push_back({list.prefix, index, value, file, lineNumber});
    }
}

// The line of list entry `index`: the file's own text for a malformed entry,
// else `formatted`, the entry as the list holds it.
std::string EntryLine(const BurnConfig& config, std::string_view list, std::size_t index, std::string formatted) {
    const MalformedEntry* m = config.FindMalformedEntry(list, index);
    if (m == nullptr) return formatted;
    return std::string(list) + Format("%2d = ", static_cast<int>(index + 1)) + m->value;
}

}  // namespace

const ConfigNotes::Written* ConfigNotes::Find(std::string_view key) const {
    auto at = written.find(key);
    return at == written.end() ? nullptr : &at->second;
}

std::string ConfigNotes::ValueOf(std::string_view key, const std::string& held) const {
    const Written* w = Find(key);
    return w == nullptr ? held : w->value;
}

std::string MalformedEntry::Describe() const {
    return file + " line " + std::to_string(line) + ": " + std::string(list) + " " + std::to_string(index + 1) +
           " = " + value;
}

const MalformedEntry* BurnConfig::FindMalformedEntry(std::string_view list, std::size_t index) const {
    for (const MalformedEntry& m : malformed_entries)
        if (m.list == list && m.index == index) return &m;
    return nullptr;
}

void BurnConfig::ForgetMalformedEntries(std::string_view list) {
    std::erase_if(malformed_entries, [list](const MalformedEntry& m) { return m.list == list; });
}

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
    b.path = CutToChars(Trim(f.Rest()), kPathChars);
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
    fs.path = CutToChars(Trim(f.Rest()), kPathChars);
    return fs.path.empty() ? 0 : 1;
}

int BurnConfig::Load(const std::string& name, ConfigNotes* notes) {
    std::string bytes;
    if (!ReadWholeFile(ResolveProgramPath(name), bytes)) return 0;
    std::u16string units;
    if (StartsWith(bytes, "\xFE\xFF")) {
        // The byte-order mark says big-endian: read it so rather than as
        // garbage that matches no key (and would be saved over with defaults).
        units = base::DecodeUtf16(std::string_view(bytes).substr(2), base::ByteOrder::Big);
        if (notes) notes->lines.push_back("the file is UTF-16 big-endian; read as such, saved as UTF-16LE");
    } else if (!bytes.empty() && bytes.find('\0') == std::string::npos && !StartsWith(bytes, "\xFF\xFE")) {
        // Hand-written 8-bit text: read it as such rather than as UTF-16 garbage
        // that matches no key. Save writes it back as UTF-16LE.
        std::string_view text(bytes);
        if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
        units = Utf8ToUtf16(text);
        if (notes) notes->lines.push_back("the file is 8-bit text, not UTF-16LE; read as UTF-8");
    } else {
        // The first two bytes are the byte-order mark; their value is not checked.
        units = base::DecodeUtf16(std::string_view(bytes).substr(std::min<std::size_t>(2, bytes.size())),
                                  base::ByteOrder::Little);
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
            ReadListLine(*this, list, items, parse, key, value, name, lineNumber, notes);
        };

        if (const ScalarKey* scalar = FindScalarKey(key)) {
            ReadScalar(*this, *scalar, value, lineNumber, notes);
            if (notes) notes->written[key] = {value, lineNumber};
        } else if (StartsWith(key, kFurtherPortKey)) {
            // The further port-name entries: one per row of a station with several channels.
            std::int32_t n = ReadDecimal(std::string_view(key).substr(kFurtherPortKey.size()));
            if (n >= 2 && n <= kMaxBurnChannels) {
                uart_com[static_cast<std::size_t>(n - 1)] = CutToChars(value, kPortNameChars);
                if (notes) notes->written[std::string(kFurtherPortKey) + std::to_string(n)] = {value, lineNumber};
            } else if (notes)
                notes->lines.push_back("line " + std::to_string(lineNumber) + ": " + key +
                                       " names no port-name entry (2.." + std::to_string(kMaxBurnChannels) +
                                       ") and is ignored");
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
    }
    Apply();
    return 1;
}

std::string BurnConfig::FormatConfigText() const {
    std::string t;
    auto line = [&t](const std::string& s) { t += s + "\r\n"; };
    for (const ScalarKey& k : kScalarKeys) {
        t += k.before;
        line(std::string(k.key) + " = " + ScalarText(*this, k));
        if (k.form != ValueForm::FirstPort) continue;
        for (std::size_t i = 1; i < uart_com.size(); ++i)
            if (!uart_com[i].empty()) line(std::string(kFurtherPortKey) + std::to_string(i + 1) + " = " + uart_com[i]);
    }
    line("");
    line(Format("spinand supported count = %d", static_cast<int>(spinand_list.size())));
    for (std::size_t i = 0; i < spinand_list.size(); ++i) {
        const SpiNandInfo& r = spinand_list[i];
        line(EntryLine(*this, kSpiNandListKey, i,
                       Format("spinand%2d = 0x%x, %4d, %3d, %d, %d, %3d, 0x%x, 0x%x, %d, ", static_cast<int>(i + 1),
                              r.chip_id, r.page_size, r.pages_per_block, r.total_blocks, r.plane_blocks,
                              r.spare_size, r.custom_nand, r.flag, static_cast<int>(r.clock)) +
                           std::string(NarrowText(r.part_number))));
    }
    line("");
    line(Format("sflash supported count = %d", static_cast<int>(spinor_list.size())));
    for (std::size_t i = 0; i < spinor_list.size(); ++i) {
        const SpiNorInfo& r = spinor_list[i];
        line(EntryLine(*this, kSpiNorListKey, i,
                       Format("sflash%2d = 0x%x, %4d, %4d, %3d, %d, %d, 0x%x, 0x%x, ", static_cast<int>(i + 1),
                              r.chip_id, static_cast<int>(r.total_size), static_cast<int>(r.page_size),
                              static_cast<int>(r.program_size), static_cast<int>(r.erase_size),
                              static_cast<int>(r.clock), r.flag, r.protect_mask) +
                           std::string(NarrowText(r.part_number)) + Format(", 0x%x", r.ex_flag)));
    }
    line("");
    line(Format("partition count = %d", static_cast<int>(partitions.size())));
    for (std::size_t i = 0; i < partitions.size(); ++i) {
        const PartitionEntry& p = partitions[i];
        line(EntryLine(*this, kPartitionListKey, i,
                       Format("partition%2d = ", static_cast<int>(i + 1)) + p.name +
                           Format(", %d, ", static_cast<int>(p.size_kib)) + ChoiceName(p.type, kPartitionTypeNames) +
                           Format(", %d, %d, ", p.read_write, p.hidden) + ChoiceName(p.medium, kPartitionMediumNames)));
    }
    line("");
    line(Format("bin download count = %d", static_cast<int>(bin_downloads.size())));
    for (std::size_t i = 0; i < bin_downloads.size(); ++i) {
        const BinDownload& b = bin_downloads[i];
        line(EntryLine(*this, kBinDownloadListKey, i,
                       Format("bin download%2d = ", static_cast<int>(i + 1)) + b.partition +
                           Format(", 0x%08x, %d, %d, ", b.load_address, b.compare, b.backup) + b.path));
    }
    line("");
    line(Format("fs image count = %d", static_cast<int>(fs_images.size())));
    for (std::size_t i = 0; i < fs_images.size(); ++i)
        line(EntryLine(*this, kFsImageListKey, i,
                       Format("fs image%2d = ", static_cast<int>(i + 1)) + fs_images[i].partition + ", " +
                           fs_images[i].path));
    return t;
}

int BurnConfig::Save(const std::string& name, std::string* why) {
    std::string bytes = "\xFF\xFE" + base::EncodeUtf16(Utf8ToUtf16(FormatConfigText()), base::ByteOrder::Little);
    std::string error;
    if (!base::WriteFileAtomically(ResolveProgramPath(name), bytes, error)) {
        if (why != nullptr) *why = error;
        return 0;
    }
    Apply();
    return 1;
}

}  // namespace kestrow::config
