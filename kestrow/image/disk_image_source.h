#pragma once
// Reading the source folder of a disk image: what the image takes from it,
// how much that is, and whether all of it can be stored, all found in one
// walk before anything is written.
#include "kestrow/fat/fat_layout.h"
#include "kestrow/image/disk_image_texts.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrow::image {

// Files left out of an image wherever they lie in its source, known by
// identity (device and inode), so another path to them is left out as well:
// the image being made and the older one it replaces, when the output
// folder lies inside the source.
class ExcludedFiles {
public:
    // Adds the file `path` names (a link: the file it points to); nothing when there is none.
    void Add(const std::filesystem::path& path);
    bool Contains(std::uint64_t device, std::uint64_t inode) const;
    bool empty() const { return files_.empty(); }

private:
    std::vector<std::pair<std::uint64_t, std::uint64_t>> files_;
};

// One entry of a source folder as the image takes it.
struct SourceEntry {
    std::string name;
    std::filesystem::path path;
    bool isFolder = false;
};

// The entries of `folder` that go into the image. Names beginning with "."
// are left out. Symbolic links to folders are not followed (a link loop would
// never end); links to files stand for the file; special files (pipes,
// devices, sockets) are left out. Plain 8.3 names come first, then the rest,
// each group by name: an image built twice from one tree is laid out the same,
// and no short alias of a long name can take a plain name that comes later.
// Files in `excluded` are left out.
bool ListSourceFolder(const std::filesystem::path& folder, std::vector<SourceEntry>& entries, std::string& error,
                      const ExcludedFiles* excluded = nullptr);

// What one walk over the source finds.
struct SourceSurvey {
    std::uint64_t count = 0;     // files the image takes
    std::uint64_t total = 0;     // and their bytes
    std::uint64_t smallest = 0;  // smallest of them
    std::uint64_t clusters = 0;  // clusters they and their folders need, root folder aside
    std::uint64_t rootEntries = 0;
    // The first thing that cannot go into the image: a name FAT cannot hold
    // (or that differs from another only in letter case), a file that cannot
    // be opened, a folder with too many entries.
    std::optional<DiskImageMessage> problem;
};

// Walks the source, counting clusters of `clusterBytes`. False when a folder
// cannot be listed ("Failed to get folder info!") or a file's size cannot be
// read (naming it); problems of single entries go to `survey.problem`. Files
// in `excluded` are not counted.
bool SurveySource(const std::filesystem::path& source, std::uint32_t clusterBytes, SourceSurvey& survey,
                  DiskImageMessage& failure, const ExcludedFiles* excluded = nullptr);

// Why what was surveyed does not fit the volume's clusters or its root
// folder, with the figures; "" when it fits.
std::string WhyNotInVolume(const SourceSurvey& survey, const fat::FatLayout& layout);

// Adds the number and bytes of the files `folder` puts into an image to
// `count` and `total`, keeping the smallest size in `*smallest` when given.
// Files that cannot be opened are passed over.
bool ScanFolder(const std::filesystem::path& folder, std::uint64_t& count, std::uint64_t& total,
                std::uint64_t* smallest, DiskImageMessage& problem);

}  // namespace kestrow::image
