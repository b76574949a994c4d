#include "kestrow/image/disk_image_source.h"

#include "kestrow/fat/fat_names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrow::image {

namespace fs = std::filesystem;

namespace {

enum class Kind { Folder, File, Skip };

// Classifies from the listing's type where it has one, without following
// links to folders. A dangling link counts as a file and fails when opened.
Kind Classify(int dirFd, const char* name, unsigned char type) {
    if (type == DT_DIR) return Kind::Folder;
    if (type == DT_REG) return Kind::File;
    struct stat st{};
    if (type != DT_LNK) {
        if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Kind::File;
        if (S_ISDIR(st.st_mode)) return Kind::Folder;
        if (S_ISREG(st.st_mode)) return Kind::File;
        if (!S_ISLNK(st.st_mode)) return Kind::Skip;
    }
    if (fstatat(dirFd, name, &st, 0) != 0) return Kind::File;
    return S_ISREG(st.st_mode) ? Kind::File : Kind::Skip;
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

constexpr std::uint64_t kEntryBytes = 32;
constexpr std::uint64_t kMaxFolderEntries = 65536;

struct Surveyor {
    std::uint32_t clusterBytes;
    SourceSurvey& survey;
    DiskImageMessage& failure;
    const ExcludedFiles* excluded;

    void Note(DiskImageText text, std::string argument) {
        if (!survey.problem) survey.problem = DiskImageMessage{text, std::move(argument)};
    }

    bool Folder(const fs::path& folder, bool isRoot) {
        std::vector<SourceEntry> entries;
        std::string error;
        if (!ListSourceFolder(folder, entries, error, excluded)) {
            failure = {DiskImageText::FailedFolderInfo, {}, error};
            return false;
        }
        std::uint64_t slots = isRoot ? 0 : 2;  // "." and ".."
        std::set<std::u16string> names;
        for (const SourceEntry& e : entries) {
            std::string why;
            const std::u16string longName = fat::ToLongName(e.name, why);
            if (longName.empty()) {
                Note(DiskImageText::NameNotStorable, e.path.string() + " (" + why + ")");
            } else if (!names.insert(fat::FoldCase(longName)).second) {
                Note(DiskImageText::NameNotStorable,
                     e.path.string() + " (another name in its folder differs only in letter case)");
            } else {
                slots += fat::EntriesForName(e.name);
            }
            if (e.isFolder) {
                if (!Folder(e.path, false)) return false;
                continue;
            }
            const std::int64_t size = OpenedSize(e.path);
            if (size == -1) {
                Note(DiskImageText::CannotReadFile, e.path.string());
                continue;
            }
            if (size < 0) {
                failure = {DiskImageText::CannotFindFile, e.path.string()};
                return false;
            }
            const auto bytes = static_cast<std::uint64_t>(size);
            if (survey.count == 0 || bytes < survey.smallest) survey.smallest = bytes;
            ++survey.count;
            survey.total += bytes;
            survey.clusters += CeilDiv(bytes, clusterBytes);
        }
        if (slots > kMaxFolderEntries) {
            Note(DiskImageText::BuildProblem, folder.string() + " has more entries than a FAT folder can hold");
        }
        if (isRoot) survey.rootEntries = slots;
        else survey.clusters += CeilDiv(slots * kEntryBytes, clusterBytes);
        return true;
    }
};

}  // namespace

void ExcludedFiles::Add(const fs::path& path) {
    struct stat st{};
    if (!path.empty() && ::stat(path.c_str(), &st) == 0) files_.emplace_back(st.st_dev, st.st_ino);
}

bool ExcludedFiles::Contains(std::uint64_t device, std::uint64_t inode) const {
    return std::find(files_.begin(), files_.end(), std::make_pair(device, inode)) != files_.end();
}

bool ListSourceFolder(const fs::path& folder, std::vector<SourceEntry>& entries, std::string& error,
                      const ExcludedFiles* excluded) {
    entries.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        error = "cannot list " + folder.string() + ": " + std::strerror(errno);
        return false;
    }
    errno = 0;
    while (const dirent* d = ::readdir(dir)) {
        if (d->d_name[0] == '.') continue;  // hidden names, "." and ".."
        const Kind kind = Classify(::dirfd(dir), d->d_name, d->d_type);
        if (kind == Kind::File && excluded != nullptr && !excluded->empty()) {
            struct stat st{};
            if (fstatat(::dirfd(dir), d->d_name, &st, 0) == 0 && excluded->Contains(st.st_dev, st.st_ino)) {
                errno = 0;
                continue;
            }
        }
        if (kind != Kind::Skip) entries.push_back({d->d_name, folder / d->d_name, kind == Kind::Folder});
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        error = "cannot list " + folder.string() + ": " + std::strerror(readError);
        return false;
    }
    std::sort(entries.begin(), entries.end(), [](const SourceEntry& a, const SourceEntry& b) {
        const bool plainA = fat::IsPlainShortName(a.name), plainB = fat::IsPlainShortName(b.name);
        return plainA != plainB ? plainA : a.name < b.name;
    });
    return true;
}

bool SurveySource(const fs::path& source, std::uint32_t clusterBytes, SourceSurvey& survey,
                  DiskImageMessage& failure, const ExcludedFiles* excluded) {
    survey = SourceSurvey{};
    return Surveyor{clusterBytes, survey, failure, excluded}.Folder(source, true);
}

std::string WhyNotInVolume(const SourceSurvey& survey, const fat::FatLayout& layout) {
    std::uint64_t clusters = survey.clusters;
    if (layout.type == fat::FatType::Fat32) {
        clusters += std::max<std::uint64_t>(1, CeilDiv(survey.rootEntries * kEntryBytes, layout.ClusterBytes()));
    } else if (survey.rootEntries > layout.rootEntries) {
        return "the source folder needs " + std::to_string(survey.rootEntries) + " root folder entries; the volume's "
               "root folder holds " + std::to_string(layout.rootEntries);
    }
    if (clusters <= layout.clusterCount) return "";
    return "the source's files and folders need " + std::to_string(clusters) + " clusters of " +
           std::to_string(layout.ClusterBytes()) + " bytes; the formatted volume has " +
           std::to_string(layout.clusterCount) + " (" + std::to_string(layout.DataBytes()) + " bytes)";
}

bool ScanFolder(const fs::path& folder, std::uint64_t& count, std::uint64_t& total, std::uint64_t* smallest,
                DiskImageMessage& problem) {
    SourceSurvey survey;
    if (!SurveySource(folder, 512, survey, problem)) return false;
    if (smallest != nullptr && survey.count > 0 && (count == 0 || survey.smallest < *smallest)) {
        *smallest = survey.smallest;
    }
    count += survey.count;
    total += survey.total;
    return true;
}

}  // namespace kestrow::image
