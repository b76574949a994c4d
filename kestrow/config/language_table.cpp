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

#include "kestrow/base/atomic_file.h"
#include "kestrow/base/unicode.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

namespace kestrow::config {
namespace fs = std::filesystem;

namespace {

constexpr char16_t kQuote = u'"';
const std::string kChineseName = "中文";
const std::string kEnglishName = "English";

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

bool ParseLanguageFile(const std::string& path, std::vector<std::string>& entries, std::string& error) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        error = "cannot read language file " + path;
        return false;
    }
    try {
        // UTF-16LE; an odd last byte cannot form a character and is dropped.
        const std::u16string text = base::DecodeUtf16(bytes, base::ByteOrder::Little);
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
    return base::EncodeUtf16(text, base::ByteOrder::Little);
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

std::string LanguageTable::GetAddedText(AddedText id) const {
    const AddedTextEntry& entry = AddedTexts()[static_cast<std::size_t>(id)];
    return std::string(current_ == kChinese ? entry.chinese : entry.english);
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
    const bool listed = name.empty() || names_[static_cast<std::size_t>(index)] == name;
    if (!LoadLanguage(index)) {
        LoadBuiltin(kEnglish);
        current_ = kEnglish;
    } else if (!listed) {
        error_ = "no language file " + (fs::path(LangFolder()) / (name + ".txt")).string();
    }
    // A language that cannot be loaded now stays the operator's choice, so it
    // is back once its file is mended; only a choice made later replaces it.
    remembered_ = CurrentLanguageName() == name || name.empty() ? CurrentLanguageName() : name;
}

void LanguageTable::SetLanguageFromBurnIni() {
    SetLanguage(ReadProfileString((fs::path(Station()) / "burn.ini").string(), "Lang", "Lang"));
}


bool LanguageTable::LoadLanguage(int index) {
    error_.clear();
    if (index < 0 || static_cast<std::size_t>(index) >= names_.size() || index == current_) return false;
    const std::string file = names_[index] + ".txt";
    const std::optional<fs::path> path = FindIgnoringCase(LangFolder(), file);
    if (path && LoadLanguageFile(path->string())) {
        current_ = index;
        remembered_ = names_[static_cast<std::size_t>(index)];
        return true;
    }
    if (index == kChinese || index == kEnglish) {
        // A missing file is the normal case for a built-in language; a broken
        // one keeps its message in LastError() for the window to show.
        LoadBuiltin(index);
        current_ = index;
        remembered_ = names_[static_cast<std::size_t>(index)];
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
    return base::WriteFileAtomically((folder / file).string(), FormatLanguageFile(entries_), error_);
}

}  // namespace kestrow::config
