#pragma once
// Private-profile files (burn.ini, SDK_CPU_DDR2.ini, config_addr.txt): "[section]"
// lines followed by "key=value" lines. Section and key names compare without
// regard to case, values are trimmed of spaces and of one pair of enclosing
// quotes, a missing file or key reads as the default, and a write creates the
// file, the section or the key as needed while keeping every other line.
#include <optional>
#include <string>
#include <vector>

namespace kestrow::config {

class PrivateProfile {
public:
    // An empty profile when the file is missing or unreadable (see `Exists`).
    static PrivateProfile Load(const std::string& path);

    bool Exists() const { return exists_; }

    // The value of section/key, or `fallback`; at most `maxChars` - 1 characters
    // are returned, as a caller reading into a buffer of that size would get.
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& fallback = "", std::size_t maxChars = 256) const;
    // The leading decimal integer of the value (with an optional sign), or `fallback`
    // when the key is missing; a value without leading digits reads as 0.
    long GetInt(const std::string& section, const std::string& key, long fallback) const;
    // Keys of a section in file order.
    std::vector<std::string> Keys(const std::string& section) const;
    // Lines the reader passes over without a word: neither blank, a ";"
    // comment, a "[section]" nor a "key=value" line. Numbers count from 1.
    std::vector<std::pair<int, std::string>> PassedOverLines() const;

    // Sets section/key; std::nullopt removes the key.
    void Set(const std::string& section, const std::string& key, const std::optional<std::string>& value);

    // Writes through a temporary file renamed over the target, so an interrupted
    // write never leaves half a file. Returns false (and leaves the old file)
    // on failure; `error`, when given, says why.
    bool Save(const std::string& path, std::string* error = nullptr) const;

private:
    struct Line {
        std::string text;      // the line as stored, without its line end
        std::string section;   // for a "[section]" line, its name
        std::string key;       // for a "key=value" line, its trimmed key
        bool isSection = false;
        bool isKey = false;
    };
    static Line Parse(const std::string& text);
    // Index of the section header line, or -1.
    long FindSection(const std::string& section) const;
    long FindKey(long sectionLine, const std::string& key) const;

    std::vector<Line> lines_;
    bool exists_ = false;
};

// One-call forms that read (and for writes, rewrite) the file each time.
std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& fallback = "", std::size_t maxChars = 256);
bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::optional<std::string>& value);

}  // namespace kestrow::config
