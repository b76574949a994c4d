#include "kestrow/config/private_profile.h"

#include "kestrow/base/atomic_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace kestrow::config {
namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Unquote(std::string v) {
    if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
        v = v.substr(1, v.size() - 2);
    return v;
}

}  // namespace

PrivateProfile::Line PrivateProfile::Parse(const std::string& text) {
    Line line;
    line.text = text;
    std::string t = Trim(text);
    if (t.empty() || t[0] == ';') return line;
    if (t[0] == '[') {
        std::size_t close = t.find(']');
        line.isSection = true;
        line.section = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        return line;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return line;
    line.isKey = true;
    line.key = Trim(t.substr(0, eq));
    return line;
}

PrivateProfile PrivateProfile::Load(const std::string& path) {
    PrivateProfile profile;
    std::ifstream in(path, std::ios::binary);
    if (!in) return profile;
    profile.exists_ = true;
    std::string text;
    while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        profile.lines_.push_back(Parse(text));
    }
    return profile;
}

long PrivateProfile::FindSection(const std::string& section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].isSection && SameName(lines_[i].section, section)) return static_cast<long>(i);
    return -1;
}

long PrivateProfile::FindKey(long sectionLine, const std::string& key) const {
    for (std::size_t i = static_cast<std::size_t>(sectionLine) + 1; i < lines_.size() && !lines_[i].isSection; ++i)
        if (lines_[i].isKey && SameName(lines_[i].key, key)) return static_cast<long>(i);
    return -1;
}

std::string PrivateProfile::GetString(const std::string& section, const std::string& key,
                                      const std::string& fallback, std::size_t maxChars) const {
    std::string value = fallback;
    long s = FindSection(section);
    long k = s < 0 ? -1 : FindKey(s, key);
    if (k >= 0) {
        const std::string& text = lines_[static_cast<std::size_t>(k)].text;
        value = Unquote(Trim(text.substr(text.find('=') + 1)));
    }
    if (maxChars > 0 && value.size() > maxChars - 1) value.resize(maxChars - 1);
    return value;
}

long PrivateProfile::GetInt(const std::string& section, const std::string& key, long fallback) const {
    long s = FindSection(section);
    if (s < 0 || FindKey(s, key) < 0) return fallback;
    std::string v = GetString(section, key);
    std::size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
    long n = 0;
    for (; i < v.size() && std::isdigit(static_cast<unsigned char>(v[i])) && n < 100000000000L; ++i)
        n = n * 10 + (v[i] - '0');
    return negative ? -n : n;
}

std::vector<std::string> PrivateProfile::Keys(const std::string& section) const {
    std::vector<std::string> keys;
    long s = FindSection(section);
    if (s < 0) return keys;
    for (std::size_t i = static_cast<std::size_t>(s) + 1; i < lines_.size() && !lines_[i].isSection; ++i)
        if (lines_[i].isKey) keys.push_back(lines_[i].key);
    return keys;
}

std::vector<std::pair<int, std::string>> PrivateProfile::PassedOverLines() const {
    std::vector<std::pair<int, std::string>> passed;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        const std::string t = Trim(line.text);
        if (!line.isSection && !line.isKey && !t.empty() && t[0] != ';')
            passed.emplace_back(static_cast<int>(i + 1), line.text);
    }
    return passed;
}

void PrivateProfile::Set(const std::string& section, const std::string& key, const std::optional<std::string>& value) {
    long s = FindSection(section);
    if (s < 0) {
        if (!value) return;
        lines_.push_back(Parse("[" + section + "]"));
        s = static_cast<long>(lines_.size()) - 1;
    }
    long k = FindKey(s, key);
    if (!value) {
        if (k >= 0) lines_.erase(lines_.begin() + k);
        return;
    }
    Line line = Parse(key + "=" + *value);
    if (k >= 0) {
        lines_[static_cast<std::size_t>(k)] = line;
        return;
    }
    // After the section's last key, so blank lines between sections stay where they are.
    std::size_t at = static_cast<std::size_t>(s) + 1;
    for (std::size_t i = at; i < lines_.size() && !lines_[i].isSection; ++i)
        if (lines_[i].isKey) at = i + 1;
    lines_.insert(lines_.begin() + static_cast<long>(at), line);
}

bool PrivateProfile::Save(const std::string& path, std::string* why) const {
    std::string text;
    for (const Line& line : lines_) text += line.text + "\r\n";
    std::string error;
    if (base::WriteFileAtomically(path, text, error)) return true;
    if (why != nullptr) *why = error;
    return false;
}

std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& fallback, std::size_t maxChars) {
    return PrivateProfile::Load(path).GetString(section, key, fallback, maxChars);
}

bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::optional<std::string>& value) {
    PrivateProfile profile = PrivateProfile::Load(path);
    profile.Set(section, key, value);
    return profile.Save(path);
}

}  // namespace kestrow::config
