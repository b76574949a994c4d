#include "kestrow/config/pool_ranges.h"

#include "kestrow/config/text_util.h"

#include <algorithm>
#include <array>

namespace kestrow::config {
namespace {

// Language entries of the range messages.
constexpr std::size_t kEnterHex = 261;
constexpr std::size_t kMacFormat = 262;
constexpr std::size_t kNotHex = 267;
constexpr std::size_t kMacHighDiffers = 268;
constexpr std::size_t kMacStartAboveEnd = 269;
constexpr std::size_t kSerialPrefixDiffers = 274;
constexpr std::size_t kSerialStartAboveEnd = 275;
constexpr std::size_t kMacMulticast = 331;
constexpr std::size_t kMacAllZero = 332;
constexpr std::size_t kBluetoothStartAboveEnd = 364;
constexpr std::size_t kBluetoothLength = 365;

PoolRangeProblem Entry(std::size_t entry) { return {entry, std::string(BuiltinEnglishTexts()[entry])}; }
PoolRangeProblem Text(std::string text) { return {PoolRangeProblem::kNoEntry, std::move(text)}; }

bool AllHex(const std::string& text) { return std::all_of(text.begin(), text.end(), IsHex); }
bool AllDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One MAC part: "XX:XX:XX".
std::optional<PoolRangeProblem> CheckMacPart(const std::string& text, std::size_t shortEntry) {
    if (text.empty()) return Entry(kEnterHex);
    if (text.size() < kMacPartChars) return Entry(shortEntry);
    if (text.size() > kMacPartChars || text[2] != ':' || text[5] != ':') return Entry(kMacFormat);
    for (std::size_t i : {0, 1, 3, 4, 6, 7})
        if (!IsHex(text[i])) return Entry(kNotHex);
    return std::nullopt;
}

std::optional<PoolRangeProblem> CheckSerialPrefix(const std::string& text, std::size_t minChars, std::size_t shortEntry,
                                                  const char* which) {
    const std::size_t chars = CountCharacters(text);
    if (chars < minChars) return Entry(shortEntry);
    if (chars > kSerialPrefixChars)
        return Text(std::string("Word length of serial number ") + which + " address high-order bit is more than 32!");
    // The prefix goes into the board's flash as narrow text.
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; }))
        return Text(std::string("The serial number ") + which +
                    " prefix may only hold printable ASCII characters without blanks!");
    return std::nullopt;
}

std::optional<PoolRangeProblem> CheckSerialLow(const std::string& text, std::size_t shortEntry, const char* which) {
    if (text.size() < kSerialLowDigits) return Entry(shortEntry);
    if (text.size() > kSerialLowDigits)
        return Text(std::string("Word length of serial number ") + which + " address low-order bit is more than 6!");
    if (!AllDigits(text))
        return Text(std::string("The low-order bit of serial number ") + which + " address must be decimal digits!");
    return std::nullopt;
}

std::optional<PoolRangeProblem> CheckBluetoothAddress(const std::string& text) {
    if (text.empty()) return Entry(kEnterHex);
    if (text.size() != kBluetoothDigits) return Entry(kBluetoothLength);
    if (!AllHex(text)) return Entry(kNotHex);
    return std::nullopt;
}

}  // namespace

std::optional<PoolRangeProblem> CheckMacRange(const MacRangeFields& f) {
    // Language entries 263 to 266: the part named is shorter than "00:00:00".
    const std::array<std::pair<const std::string*, std::size_t>, 4> parts = {
        {{&f.start_high, 263}, {&f.start_low, 264}, {&f.end_high, 265}, {&f.end_low, 266}}};
    for (const auto& [text, shortEntry] : parts)
        if (auto problem = CheckMacPart(*text, shortEntry)) return problem;
    const std::string startHigh = ToUpperAscii(f.start_high), startLow = ToUpperAscii(f.start_low);
    if (startHigh != ToUpperAscii(f.end_high)) return Entry(kMacHighDiffers);
    if (startLow > ToUpperAscii(f.end_low)) return Entry(kMacStartAboveEnd);
    // Bit 0 of the first byte marks a group (multicast) address.
    if (std::stoi(startHigh.substr(0, 2), nullptr, 16) & 1) return Entry(kMacMulticast);
    // The range starts at the start address and the end lies above it, so only
    // the start can be all zeros.
    if (startHigh == "00:00:00" && startLow == "00:00:00") return Entry(kMacAllZero);
    return std::nullopt;
}

std::optional<PoolRangeProblem> CheckSerialRange(const SerialRangeFields& f) {
    if (auto problem = CheckSerialPrefix(f.start_prefix, kSerialPrefixChars, 270, "start")) return problem;
    if (auto problem = CheckSerialLow(f.start_low, 271, "start")) return problem;
    // Entry 272 asks for at least 10 characters of the end prefix; the two
    // prefixes must be equal anyway (entry 274).
    if (auto problem = CheckSerialPrefix(f.end_prefix, 10, 272, "end")) return problem;
    if (auto problem = CheckSerialLow(f.end_low, 273, "end")) return problem;
    if (f.start_prefix != f.end_prefix) return Entry(kSerialPrefixDiffers);
    if (f.start_low > f.end_low) return Entry(kSerialStartAboveEnd);
    return std::nullopt;
}

std::optional<PoolRangeProblem> CheckBluetoothRange(const BluetoothRangeFields& f) {
    if (auto problem = CheckBluetoothAddress(f.start)) return problem;
    if (auto problem = CheckBluetoothAddress(f.end)) return problem;
    if (ToUpperAscii(f.start) > ToUpperAscii(f.end)) return Entry(kBluetoothStartAboveEnd);
    return std::nullopt;
}

MacRangeFields MacFieldsFromAddresses(const std::string& start, const std::string& end) {
    auto split = [](const std::string& text, std::string& high, std::string& low) {
        if (text.size() > kMacPartChars && text[kMacPartChars] != ':') {
            high = text;
            low = "00:00:00";  // not looked at: the high part's format is reported first
            return;
        }
        high = text.substr(0, kMacPartChars);
        low = text.size() > kMacPartChars ? text.substr(kMacPartChars + 1) : "";
    };
    MacRangeFields fields;
    split(start, fields.start_high, fields.start_low);
    split(end, fields.end_high, fields.end_low);
    return fields;
}

std::string PoolRangeMessage(const PoolRangeProblem& problem, const LanguageTable& texts) {
    if (problem.entry == PoolRangeProblem::kNoEntry) return problem.text;
    std::string text = texts.GetString(problem.entry);
    return text.empty() ? problem.text : text;
}

}  // namespace kestrow::config
