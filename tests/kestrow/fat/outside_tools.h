#pragma once
// Checks a disk image with the outside tools (dosfstools, mtools) and compares
// what they extract with a folder on disk. Header-only so the FAT and the
// disk image tests share it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace kestrow::testing {

namespace fs = std::filesystem;

// Runs a shell command; returns its exit status and leaves stdout+stderr in `output`.
inline int RunCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quote(const fs::path& p) {
    std::string out = "'";
    for (char c : p.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// mtools reads names in the locale's character set and refuses images it
// has not been told about; these settings make it read ours as UTF-8.
inline std::string Mtools() { return "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 "; }

// Empty when `fsck.fat -n` finds nothing wrong, else its report.
inline std::string FsckProblems(const fs::path& image) {
    std::string out;
    const int rc = RunCommand("fsck.fat -n " + Quote(image), out);
    return rc == 0 ? std::string() : "fsck.fat exit " + std::to_string(rc) + ":\n" + out;
}

// Extracts the whole image into `dest` with mcopy; false (and `out` says why) on failure.
inline bool ExtractImage(const fs::path& image, const fs::path& dest, std::string& out) {
    fs::create_directories(dest);
    if (RunCommand(Mtools() + "mdir -b -i " + Quote(image) + " ::/", out) != 0) return false;
    if (out.find_first_not_of(" \r\n") == std::string::npos) return true;  // empty volume
    return RunCommand(Mtools() + "mcopy -s -n -i " + Quote(image) + " '::*' " + Quote(dest), out) == 0;
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Lists how two trees differ (names, kinds, contents); empty when they match.
inline std::string TreeDifferences(const fs::path& expected, const fs::path& actual) {
    std::map<std::string, fs::path> a, b;
    auto collect = [](const fs::path& root, std::map<std::string, fs::path>& into) {
        if (!fs::exists(root)) return;
        for (auto& e : fs::recursive_directory_iterator(root)) into[fs::relative(e.path(), root).string()] = e.path();
    };
    collect(expected, a);
    collect(actual, b);
    std::string diff;
    int shown = 0;
    auto note = [&](const std::string& line) {
        if (++shown <= 12) diff += line + "\n";
        else if (shown == 13) diff += "...\n";
    };
    for (auto& [rel, path] : a) {
        auto it = b.find(rel);
        if (it == b.end()) note("missing: " + rel);
        else if (fs::is_directory(path) != fs::is_directory(it->second)) note("kind differs: " + rel);
        else if (!fs::is_directory(path) && ReadFile(path) != ReadFile(it->second)) note("content differs: " + rel);
    }
    for (auto& [rel, path] : b) {
        if (a.count(rel) == 0) note("unexpected: " + rel);
    }
    return diff;
}

// Both outside checks in one: fsck clean, and the extracted tree equals `expected`.
inline void ExpectImageHolds(const fs::path& image, const fs::path& expected, const fs::path& scratch) {
    EXPECT_EQ(FsckProblems(image), "");
    const fs::path out = scratch / "extracted";
    fs::remove_all(out);
    std::string log;
    ASSERT_TRUE(ExtractImage(image, out, log)) << log;
    EXPECT_EQ(TreeDifferences(expected, out), "");
}

inline void WriteBytes(const fs::path& p, std::size_t size, unsigned seed) {
    fs::create_directories(p.parent_path());
    std::string data(size, '\0');
    std::mt19937 rng(seed);
    for (auto& c : data) c = static_cast<char>(rng());
    std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// A fresh folder under the system temp folder, removed by the destructor.
class TempFolder {
public:
    TempFolder() {
        std::string tmpl = (fs::temp_directory_path() / "kestrow-fat-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace kestrow::testing
