#include "kestrow/image/disk_image_source.h"

#include "kestrow/fat/fat_names.h"

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrow::image {

namespace fs = std::filesystem;

namespace {

enum class Kind { Folder, File, Skip };

// Classifies without following links to folders.
Kind Classify(const fs::directory_entry& entry) {
    std::error_code ec;
    const fs::file_status own = entry.symlink_status(ec);
    if (ec) return Kind::File;  // reported when it is opened
    if (fs::is_symlink(own)) {
        const fs::file_status target = fs::status(entry.path(), ec);
        if (ec || fs::is_regular_file(target)) return Kind::File;  // dangling links fail when opened
        return Kind::Skip;
    }
    if (fs::is_directory(own)) return Kind::Folder;
    return fs::is_regular_file(own) ? Kind::File : Kind::Skip;
}

// Opens a file to learn its size. -1: cannot be opened; -2: size unreadable.
std::int64_t OpenedSize(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st{};
    const int rc = ::fstat(fd, &st);
    ::close(fd);
    return rc == 0 ? static_cast<std::int64_t>(st.st_size) : -2;
}

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

struct Planner {
    const fat::FatLayout& layout;
    DiskImageMessage& problem;
    std::uint64_t clusters = 0;

    bool Folder(const fs::path& folder, bool isRoot) {
        std::vector<SourceEntry> entries;
        std::string error;
        if (!ListSourceFolder(folder, entries, error)) {
            problem = {DiskImageText::BuildProblem, error};
            return false;
        }
        std::uint64_t slots = isRoot ? 0 : 2;  // "." and ".."
        std::set<std::u16string> names;
        for (const SourceEntry& e : entries) {
            std::string why;
            const std::u16string longName = fat::ToLongName(e.name, why);
            if (longName.empty()) {
                problem = {DiskImageText::NameNotStorable, e.path.string() + " (" + why + ")"};
                return false;
            }
            if (!names.insert(fat::FoldCase(longName)).second) {
                problem = {DiskImageText::NameNotStorable,
                           e.path.string() + " (another name in its folder differs only in letter case)"};
                return false;
            }
            slots += fat::EntriesForName(e.name);
            if (e.isFolder) {
                if (!Folder(e.path, false)) return false;
            } else {
                if (OpenedSize(e.path) < 0) {
                    problem = {DiskImageText::CannotReadFile, e.path.string()};
                    return false;
                }
                clusters += CeilDiv(e.size, layout.ClusterBytes());
            }
        }
        if (slots > 65536) {
            problem = {DiskImageText::BuildProblem,
                       folder.string() + " has more entries than a FAT folder can hold"};
            return false;
        }
        const std::uint64_t folderClusters = std::max<std::uint64_t>(1, CeilDiv(slots * 32, layout.ClusterBytes()));
        if (isRoot && layout.type != fat::FatType::Fat32) {
            if (slots > layout.rootEntries) {
                problem = {DiskImageText::LowCapacity, {}};
                return false;
            }
        } else {
            clusters += folderClusters;
        }
        return true;
    }
};

}  // namespace

bool ScanFolder(const fs::path& folder, std::uint64_t& count, std::uint64_t& total, std::uint64_t* smallest,
                DiskImageMessage& problem) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        problem = {DiskImageText::FailedFolderInfo, {}};
        return false;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        const Kind kind = Classify(entry);
        if (kind == Kind::Folder) {
            if (!ScanFolder(entry.path(), count, total, smallest, problem)) return false;
            continue;
        }
        if (kind == Kind::Skip) continue;
        const std::int64_t size = OpenedSize(entry.path());
        if (size == -1) continue;
        if (size < 0) {
            problem = {DiskImageText::CannotFindFile, entry.path().string()};
            return false;
        }
        total += static_cast<std::uint64_t>(size);
        ++count;
        if (smallest != nullptr && (count == 1 || static_cast<std::uint64_t>(size) < *smallest)) {
            *smallest = static_cast<std::uint64_t>(size);
        }
    }
    if (ec) {
        problem = {DiskImageText::FailedFolderInfo, {}};
        return false;
    }
    return true;
}

bool ListSourceFolder(const fs::path& folder, std::vector<SourceEntry>& entries, std::string& error) {
    entries.clear();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        const Kind kind = Classify(*it);
        if (kind == Kind::Skip) continue;
        SourceEntry e{name, it->path(), kind == Kind::Folder, 0};
        if (!e.isFolder) {
            std::error_code sizeError;
            const std::uintmax_t size = fs::file_size(e.path, sizeError);
            e.size = sizeError ? 0 : size;
        }
        entries.push_back(std::move(e));
    }
    if (ec) {
        error = "cannot list " + folder.string() + ": " + ec.message();
        return false;
    }
    std::sort(entries.begin(), entries.end(), [](const SourceEntry& a, const SourceEntry& b) {
        const bool plainA = fat::IsPlainShortName(a.name), plainB = fat::IsPlainShortName(b.name);
        return plainA != plainB ? plainA : a.name < b.name;
    });
    return true;
}

bool CheckSourceFitsVolume(const fs::path& source, const fat::FatLayout& layout, DiskImageMessage& problem) {
    Planner planner{layout, problem};
    std::error_code ec;
    if (fs::is_directory(source, ec)) {
        if (!planner.Folder(source, true)) return false;
    } else {
        // A single file goes into the root folder.
        const std::uint64_t size = fs::file_size(source, ec);
        if (ec) {
            problem = {DiskImageText::CannotReadFile, source.string()};
            return false;
        }
        planner.clusters = CeilDiv(size, layout.ClusterBytes()) + (layout.type == fat::FatType::Fat32 ? 1 : 0);
    }
    if (planner.clusters > layout.clusterCount) {
        problem = {DiskImageText::LowCapacity, {}};
        return false;
    }
    return true;
}

}  // namespace kestrow::image
