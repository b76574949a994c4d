#pragma once
// A FAT12/16/32 drive over a medium: format, mount, create folders, create and
// write files with long names, unmount. It builds volumes; it does not delete
// or rewrite files that are already there.
#include "kestrow/fat/fat_layout.h"
#include "kestrow/fat/medium.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kestrow::fat {

enum class FatError {
    None,
    NotMounted,
    AlreadyMounted,
    BadName,      // a name FAT cannot hold, or a path of another drive
    NotFound,     // a folder on the way does not exist
    Exists,       // the name is taken (FAT ignores letter case)
    NotAFolder,
    FolderFull,   // fixed root folder or 65536-entry limit
    VolumeFull,
    NoFileSystem,
    Io,
};

class FatDrive;

// A file open for writing. Data goes to the volume as it is written; the
// folder entry gets its size and first cluster at Close().
class FatFile {
public:
    ~FatFile();
    FatFile(const FatFile&) = delete;
    FatFile& operator=(const FatFile&) = delete;

    // Appends `size` bytes; returns how many were taken. Fewer than `size`
    // means the volume is full, the 4 GiB file limit was reached or the
    // medium failed (the drive's LastError() says which).
    std::size_t Write(const void* data, std::size_t size);
    bool Close();
    std::uint64_t Size() const { return size_; }

private:
    friend class FatDrive;
    FatFile(FatDrive& drive, std::size_t dirIndex, std::uint32_t slot);
    bool WriteSectors(const std::uint8_t* data, std::uint64_t sectors);

    FatDrive* drive_;
    std::size_t dirIndex_;
    std::uint32_t slot_;  // the short entry in its folder
    std::uint32_t firstCluster_ = 0;
    std::uint32_t lastCluster_ = 0;
    std::uint32_t chainLength_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t flushed_ = 0;           // bytes on the medium, whole sectors
    std::vector<std::uint8_t> pending_;   // the unfinished last sector
    bool pendingOnMedium_ = false;        // ... already written, zero-padded
    bool open_ = true;
};

class FatDrive {
public:
    // The driver for drive `index` (0 = "A:") over `medium`.
    static std::unique_ptr<FatDrive> Create(int index, std::unique_ptr<BlockDevice> medium, std::string& error);
    ~FatDrive();
    FatDrive(const FatDrive&) = delete;
    FatDrive& operator=(const FatDrive&) = delete;

    // Writes an empty file system over the whole medium (drive not mounted).
    bool Format();
    bool Mount();
    // Closes open files and writes folders, FATs and free-space info out.
    bool Unmount();
    bool Mounted() const { return mounted_; }

    const FatLayout& Layout() const { return layout_; }
    // Bytes of the data area, and how many of them are free.
    std::uint64_t VolumeSize() const { return layout_.DataBytes(); }
    std::uint64_t FreeBytes() const { return std::uint64_t{freeClusters_} * layout_.ClusterBytes(); }

    // Paths are "A:/folder/name" or "/folder/name", UTF-8, "/" between names.
    bool MakeDirectory(std::string_view path);
    // Creates the file (its folder must exist) and opens it for writing; null
    // on failure. The drive must outlive the file.
    std::unique_ptr<FatFile> CreateFile(std::string_view path);

    FatError LastErrorCode() const { return errorCode_; }
    const std::string& LastError() const { return error_; }
    char Letter() const { return static_cast<char>('A' + index_); }

private:
    friend class FatFile;
    struct Child {
        std::uint32_t slot;
        bool isDir;
        std::uint32_t firstCluster;
    };
    struct Dir {
        std::uint32_t firstCluster = 0;  // 0: the fixed root of FAT12/16
        std::vector<std::uint32_t> clusters;
        std::vector<std::uint8_t> bytes;  // every entry of the folder
        std::uint32_t endSlot = 0;        // first slot never used
        bool dirty = false;
        std::unordered_map<std::u16string, Child> children;  // by case-folded long name
        std::unordered_set<std::string> shortNames;
        std::unordered_map<std::string, std::uint32_t> nextTail;  // by short-name basis
    };

    FatDrive(int index, std::unique_ptr<BlockDevice> medium);
    bool Fail(FatError code, std::string message);
    bool LoadFat();
    bool WriteFat();
    bool WriteFsInfo();
    bool LoadDir(std::uint32_t firstCluster, std::size_t& index);
    bool FlushDir(Dir& dir);
    bool ReadChain(std::uint32_t first, std::vector<std::uint32_t>& chain);
    // Resolves all but the last name of `path` to a folder; `leaf` gets the last name.
    bool ResolveParent(std::string_view path, std::size_t& dirIndex, std::string& leaf);
    // Adds an entry for `name`; returns its short entry's slot.
    bool AddEntry(std::size_t dirIndex, const std::string& name, std::uint8_t attributes,
                  std::uint32_t firstCluster, std::uint32_t& slot);
    // True (and the error set) when `name` is in the folder already, in any letter case.
    bool Taken(std::size_t dirIndex, const std::string& name);
    bool ReserveSlots(Dir& dir, std::uint32_t count, std::uint32_t& first);
    // Takes up to `want` free clusters in one run and chains them; 0 when none are free.
    std::uint32_t AllocateRun(std::uint32_t want, std::uint32_t& got);
    void FileClosed(FatFile* file);

    int index_;
    std::unique_ptr<BlockDevice> medium_;
    FatLayout layout_;
    bool mounted_ = false;
    std::vector<std::uint32_t> fat_;
    std::uint32_t freeClusters_ = 0;
    std::uint32_t nextFree_ = 2;
    std::vector<std::unique_ptr<Dir>> dirs_;  // dirs_[0] is the root
    std::unordered_map<std::uint32_t, std::size_t> dirByCluster_;
    std::unordered_set<FatFile*> openFiles_;
    std::vector<std::uint8_t> scratch_;  // a file's last write with its part sector padded
    FatError errorCode_ = FatError::None;
    std::string error_;
};

}  // namespace kestrow::fat
