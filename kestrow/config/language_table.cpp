#include "kestrow/config/language_table.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <sstream>
#include <system_error>

#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"

namespace kestrow::config {
namespace fs = std::filesystem;

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char16_t kQuote = u'"';
const std::string kChineseName = "中文";
const std::string kEnglishName = "English";

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes the UTF-8 sequence at `pos` and advances past it; a malformed or
// overlong sequence yields U+FFFD and consumes one byte.
char32_t NextCodePoint(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    // Lead-byte pattern (mask and value), sequence length, smallest value it may encode.
    struct Form {
        unsigned char mask, value;
        std::size_t length;
        char32_t minimum;
    };
    static constexpr Form kForms[] = {{0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};
    const Form* form = std::find_if(std::begin(kForms), std::end(kForms),
                                    [&](const Form& f) { return (lead & f.mask) == f.value; });
    if (form == std::end(kForms)) {
        ++pos;
        return kReplacement;
    }
    const std::size_t length = form->length;
    char32_t c = lead & static_cast<unsigned char>(~form->mask);
    if (pos + length > text.size()) {
        ++pos;
        return kReplacement;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            ++pos;
            return kReplacement;
        }
        c = (c << 6) | (byte(pos + i) & 0x3F);
    }
    if (c < form->minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++pos;
        return kReplacement;
    }
    pos += length;
    return c;
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch; };
        return lower(x) == lower(y);
    });
}

bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && SameIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

// The station's files are named without regard to case (a Lang folder copied
// from another station may say "lang" or "ENGLISH.TXT"): finds the entry of
// `folder` whose name matches `name`, preferring an exact match.
std::optional<fs::path> FindIgnoringCase(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    if (fs::exists(folder / name, ec)) return folder / name;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (SameIgnoringAsciiCase(it->path().filename().string(), name)) return it->path();
    }
    return std::nullopt;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t c = NextCodePoint(text, pos);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        char32_t c = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::size_t CountCharacters(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size(); ++count) NextCodePoint(text, pos);
    return count;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return false;
    bytes = std::move(content).str();
    return true;
}

bool ReplaceFile(const std::string& path, std::string_view bytes, std::string& error) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(tmp.c_str());
            error = "cannot write " + path;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        error = "cannot replace " + path;
        return false;
    }
    return true;
}

bool ParseLanguageFile(const std::string& path, std::vector<std::string>& entries, std::string& error) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        error = "cannot read language file " + path;
        return false;
    }
    try {
        // UTF-16LE; an odd last byte cannot form a character and is dropped.
        std::u16string text(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                            (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
        }
        std::vector<std::string> parsed;
        parsed.reserve(kLanguageEntryCount);
        std::size_t pos = 0;
        while (parsed.size() < kLanguageEntryCount) {
            const std::size_t open = text.find(kQuote, pos);
            if (open == std::u16string::npos) break;
            const std::size_t close = text.find(kQuote, open + 1);
            if (close == std::u16string::npos) {
                error = "language file " + path + " ends inside entry " + std::to_string(parsed.size());
                return false;
            }
            parsed.push_back(Utf16ToUtf8(std::u16string_view(text).substr(open + 1, close - open - 1)));
            pos = close + 1;
        }
        if (parsed.size() < kLanguageEntryCount) {
            error = "language file " + path + " holds " + std::to_string(parsed.size()) + " of " +
                    std::to_string(kLanguageEntryCount) + " entries";
            return false;
        }
        entries = std::move(parsed);
    } catch (const std::bad_alloc&) {
        error = "language file " + path + " is too large to load";
        return false;
    }
    return true;
}

std::string FormatLanguageFile(const std::vector<std::string>& entries) {
    std::u16string text = u"\uFEFFLang{\r\n";
    for (const std::string& entry : entries) text += u"\"" + Utf8ToUtf16(entry) + u"\",\r\n";
    text += u"}\r\n";
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

LanguageTable::LanguageTable(std::string stationFolder)
    : station_(std::move(stationFolder)), names_{kChineseName, kEnglishName} {}

std::string LanguageTable::Station() const { return station_.empty() ? StationFolder() : station_; }

std::string LanguageTable::GetString(std::size_t index) const {
    return index < entries_.size() ? entries_[index] : std::string();
}

std::string LanguageTable::CurrentLanguageName() const {
    return current_ >= 0 && static_cast<std::size_t>(current_) < names_.size() ? names_[current_] : std::string();
}

std::string LanguageTable::LangFolder() const {
    return FindIgnoringCase(Station(), "Lang").value_or(fs::path(Station()) / "Lang").string();
}

void LanguageTable::LoadBuiltin(int language) {
    const auto texts = language == kChinese ? BuiltinChineseTexts() : BuiltinEnglishTexts();
    entries_.assign(texts.begin(), texts.end());
}

void LanguageTable::SetLanguage(const std::string& name) {
    names_ = {kChineseName, kEnglishName};
    // Directory order is arbitrary here; sorting gives every start the same list.
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(LangFolder(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (EndsWithIgnoringAsciiCase(file, ".txt")) files.push_back(file);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        const std::string base = file.substr(0, file.find('.'));
        if (!base.empty() && base != kChineseName && base != kEnglishName) names_.push_back(base);
    }

    int index = kEnglish;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) index = static_cast<int>(i);
    }
    current_ = -1;
    if (!LoadLanguage(index)) {
        LoadBuiltin(kEnglish);
        current_ = kEnglish;
    }
}

void LanguageTable::SetLanguageFromBurnIni() {
    SetLanguage(ReadProfileString((fs::path(Station()) / "burn.ini").string(), "Lang", "Lang"));
}

bool LanguageTable::WriteLanguageToBurnIni() const {
    return WriteProfileString((fs::path(Station()) / "burn.ini").string(), "Lang", "Lang", CurrentLanguageName());
}

bool LanguageTable::LoadLanguage(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= names_.size() || index == current_) return false;
    error_.clear();
    const std::string file = names_[index] + ".txt";
    const std::optional<fs::path> path = FindIgnoringCase(LangFolder(), file);
    if (path && LoadLanguageFile(path->string())) {
        current_ = index;
        return true;
    }
    if (index == kChinese || index == kEnglish) {
        // A missing file is the normal case for a built-in language; a broken
        // one keeps its message in LastError() for the window to show.
        LoadBuiltin(index);
        current_ = index;
        return true;
    }
    if (!path) error_ = "no language file " + (fs::path(LangFolder()) / file).string();
    return false;
}

bool LanguageTable::LoadLanguageFile(const std::string& path) {
    error_.clear();
    return ParseLanguageFile(path, entries_, error_);
}

bool LanguageTable::SaveCurrentLanguageFile() {
    error_.clear();
    if (entries_.empty() || current_ < 0) {
        error_ = "no language loaded";
        return false;
    }
    const fs::path folder = LangFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        error_ = "cannot create " + folder.string() + ": " + ec.message();
        return false;
    }
    const std::string file = CurrentLanguageName() + ".txt";
    if (FindIgnoringCase(folder, file)) return true;
    return ReplaceFile((folder / file).string(), FormatLanguageFile(entries_), error_);
}

}  // namespace kestrow::config
