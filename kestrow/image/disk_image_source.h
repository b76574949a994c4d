#pragma once
// Reading the source folder of a disk image: measuring it, listing what the
// image takes from it, and checking before anything is written that all of
// it can be stored in the formatted volume.
#include "kestrow/fat/fat_layout.h"
#include "kestrow/image/disk_image_texts.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrow::image {

// Walks `folder` and adds the number and bytes of its files (all levels) to
// `count` and `total`; keeps the smallest file size in `*smallest` when given.
// Symbolic links to folders are not followed (a link loop would never end);
// links to files count as the file they point to. Files that cannot be opened
// and special files (pipes, devices, sockets) are passed over. False when a
// folder cannot be listed or a file's size cannot be read (`problem` names it).
bool ScanFolder(const std::filesystem::path& folder, std::uint64_t& count, std::uint64_t& total,
                std::uint64_t* smallest, DiskImageMessage& problem);

// One entry of a source folder as the image takes it.
struct SourceEntry {
    std::string name;
    std::filesystem::path path;
    bool isFolder = false;
    std::uint64_t size = 0;
};

// The entries of `folder` that go into the image: names beginning with "."
// are left out, as are links to folders and special files. Plain 8.3 names
// come first, then the rest, each group by name, so an image built twice from
// the same tree is laid out the same and no short alias of a long name can
// take a plain name that comes later.
bool ListSourceFolder(const std::filesystem::path& folder, std::vector<SourceEntry>& entries, std::string& error);

// Checks the whole source against a volume layout before it is written: every
// name must be storable in FAT and unique regardless of letter case, every file
// readable, and files plus folder entries must fit the volume's clusters.
// False with `problem` set ("Low capacity size!" when it does not fit).
bool CheckSourceFitsVolume(const std::filesystem::path& source, const fat::FatLayout& layout,
                           DiskImageMessage& problem);

}  // namespace kestrow::image
