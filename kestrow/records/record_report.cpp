#include "kestrow/records/record_report.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace kestrow::records {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;

std::string FlashIdText(std::uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", id);
    return text;
}

nlohmann::ordered_json JsonTextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

// Reads exactly `digits` decimal digits at `at`.
bool ReadNumber(std::string_view text, std::size_t& at, std::size_t digits, int& value) {
    if (at + digits > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    at += digits;
    return true;
}

bool Expect(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

std::optional<std::int64_t> ParseAge(std::string_view text, std::int64_t nowUs) {
    if (text.size() < 2) return std::nullopt;
    std::int64_t unit = 0;
    switch (text.back()) {
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        default: return std::nullopt;
    }
    std::int64_t count = 0;
    for (char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9' || count > 100000000) return std::nullopt;
        count = count * 10 + (c - '0');
    }
    return nowUs - count * unit * kMicrosPerSecond;
}

std::string Quoted(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Percent(std::uint64_t passed, std::uint64_t all) {
    if (all == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(passed) / static_cast<double>(all));
    return text;
}

}  // namespace

std::string FormatUtcTime(std::int64_t microseconds) {
    std::time_t seconds = static_cast<std::time_t>(microseconds / kMicrosPerSecond);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03dZ", text, static_cast<int>(microseconds % kMicrosPerSecond / 1000));
    return full;
}

std::optional<std::int64_t> ParseSinceTime(std::string_view text, std::int64_t nowUs) {
    if (std::optional<std::int64_t> age = ParseAge(text, nowUs)) return age;
    std::size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ReadNumber(text, at, 4, year) || !Expect(text, at, '-') || !ReadNumber(text, at, 2, month) ||
        !Expect(text, at, '-') || !ReadNumber(text, at, 2, day))
        return std::nullopt;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!ReadNumber(text, at, 2, hour) || !Expect(text, at, ':') || !ReadNumber(text, at, 2, minute))
            return std::nullopt;
        if (at < text.size() && text[at] == ':' && !(++at, ReadNumber(text, at, 2, second))) return std::nullopt;
    }
    if (at < text.size() && text[at] == 'Z') ++at;
    if (at != text.size()) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const std::time_t seconds = timegm(&utc);
    // timegm moves 31 April to 1 May; such a date is a typing error.
    if (utc.tm_mday != day) return std::nullopt;
    return static_cast<std::int64_t>(seconds) * kMicrosPerSecond;
}

nlohmann::ordered_json RecordJson(const BurnRecord& r) {
    nlohmann::ordered_json j;
    j["time"] = FormatUtcTime(r.start.start_time_us);
    j["station"] = r.station;
    j["port"] = r.start.port;
    j["channel"] = r.start.channel;
    j["flash_id"] = FlashIdText(r.end.flash_id);
    j["result"] = BurnResultName(r.end.result);
    j["status"] = r.end.status;
    j["status_code"] = r.end.status_code;
    j["mac"] = JsonTextOrNull(r.identity.mac);
    j["serial"] = JsonTextOrNull(r.identity.serial);
    j["bluetooth"] = JsonTextOrNull(r.identity.bluetooth);
    j["burn_file"] = r.start.burn_file;
    j["burn_file_sha256"] = r.start.burn_file_sha256;
    j["bytes"] = r.end.bytes;
    j["duration_s"] = std::round(r.end.duration_s * 1000) / 1000;
    j["host"] = r.host;
    j["chip_type"] = r.start.chip_type;
    j["medium"] = r.start.medium;
    j["boot_mode"] = r.start.boot_mode;
    j["burn_file_size"] = r.start.burn_file_size;
    j["log_file"] = r.start.log_file;
    j["id"] = r.id;
    return j;
}

std::string CsvHeader() {
    std::string line;
    const nlohmann::ordered_json fields = RecordJson(BurnRecord{});
    for (const auto& item : fields.items()) line += (line.empty() ? "" : ",") + item.key();
    return line;
}

std::string CsvRow(const BurnRecord& record) {
    std::string line;
    bool first = true;
    const nlohmann::ordered_json fields = RecordJson(record);
    for (const auto& item : fields.items()) {
        if (!first) line += ',';
        first = false;
        const auto& value = item.value();
        if (value.is_string())
            line += Quoted(value.get<std::string>());
        else if (!value.is_null())
            line += value.dump();
    }
    return line;
}

std::string FormatSummary(const RecordSummary& summary) {
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%-18s %8s %8s %12s %8s\n", "hour (UTC)", "passed", "failed", "interrupted", "yield");
    out += line;
    HourCounts total;
    for (const HourCounts& h : summary.hours) {
        std::string hour = FormatUtcTime(h.hour_start_us).substr(0, 13) + ":00";  // "2024-05-01 10:00"
        hour[10] = ' ';
        std::snprintf(line, sizeof line, "%-18s %8llu %8llu %12llu %8s\n", hour.c_str(),
                      static_cast<unsigned long long>(h.passed), static_cast<unsigned long long>(h.failed),
                      static_cast<unsigned long long>(h.interrupted),
                      Percent(h.passed, h.passed + h.failed + h.interrupted).c_str());
        out += line;
        total.passed += h.passed;
        total.failed += h.failed;
        total.interrupted += h.interrupted;
    }
    std::snprintf(line, sizeof line, "%-18s %8llu %8llu %12llu %8s\n", "total", static_cast<unsigned long long>(total.passed),
                  static_cast<unsigned long long>(total.failed), static_cast<unsigned long long>(total.interrupted),
                  Percent(total.passed, total.passed + total.failed + total.interrupted).c_str());
    out += line;
    if (summary.failures.empty()) return out + "\nno failed burns\n";
    out += "\nmost frequent failure statuses:\n";
    for (const StatusCount& s : summary.failures) {
        std::snprintf(line, sizeof line, "%8llu  %3u ", static_cast<unsigned long long>(s.count), s.status_code);
        out += line + s.status + "\n";
    }
    return out;
}

}  // namespace kestrow::records
