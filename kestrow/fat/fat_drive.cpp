#include "kestrow/fat/fat_drive.h"

#include "kestrow/base/little_endian.h"
#include "kestrow/fat/dir_entry.h"
#include "kestrow/fat/fat_names.h"
#include "kestrow/fat/fat_table.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace kestrow::fat {

namespace {

constexpr std::uint32_t kMaxFolderEntries = 65536;
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu;
constexpr std::uint32_t kFsInfoLead = 0x41615252;
constexpr std::uint32_t kFsInfoStruct = 0x61417272;
constexpr std::uint32_t kFsInfoTrail = 0xAA550000;

std::string_view StripDrive(std::string_view path, char letter, bool& ok) {
    ok = true;
    if (path.size() >= 2 && path[1] == ':') {
        ok = (path[0] == letter || path[0] == letter - 'A' + 'a');
        path.remove_prefix(2);
    }
    return path;
}

}  // namespace

// ---- FatFile ----

FatFile::FatFile(FatDrive& drive, std::size_t dirIndex, std::uint32_t slot)
    : drive_(&drive), dirIndex_(dirIndex), slot_(slot) {
    pending_.reserve(drive.layout_.bytesPerSector);
}

FatFile::~FatFile() { Close(); }

std::size_t FatFile::Write(const void* data, std::size_t size) {
    if (!open_) return 0;
    FatDrive& d = *drive_;
    const std::uint64_t clusterBytes = d.layout_.ClusterBytes();
    // Pending bytes may lie in a cluster not taken yet, so compare against
    // everything the file could own rather than subtracting.
    const std::uint64_t capacity = (std::uint64_t{chainLength_} + d.freeClusters_) * clusterBytes;
    const std::uint64_t room = capacity > size_ ? capacity - size_ : 0;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>({size, room, kMaxFileSize - size_}));
    if (take < size) {
        d.Fail(FatError::VolumeFull, size_ + size > kMaxFileSize ? "a FAT file cannot reach 4 GiB" : "the volume is full");
    }
    const std::uint32_t bps = d.layout_.bytesPerSector;
    auto in = static_cast<const std::uint8_t*>(data);
    std::size_t left = take;
    if (!pending_.empty() && left > 0) {
        const std::size_t n = std::min<std::size_t>(left, bps - pending_.size());
        pending_.insert(pending_.end(), in, in + n);
        pendingOnMedium_ = false;
        in += n;
        left -= n;
        if (pending_.size() == bps) {
            if (!WriteSectors(pending_.data(), 1)) return 0;
            pending_.clear();
        }
    }
    const std::uint64_t whole = left / bps;
    const std::size_t tail = left % bps;
    if (whole > 0 && tail > 0) {
        // Most files end in a part sector: write it zero-padded together with
        // the whole sectors before it, in one go. It stays pending too, so
        // more data later simply writes that sector again.
        std::vector<std::uint8_t>& run = d.scratch_;
        run.assign(in, in + left);
        run.resize((whole + 1) * bps, 0);
        if (!WriteSectors(run.data(), whole + 1)) return take - left;
        flushed_ -= bps;
        pendingOnMedium_ = true;
    } else if (whole > 0 && !WriteSectors(in, whole)) {
        return take - left;
    }
    if (tail > 0) pending_.assign(in + whole * bps, in + left);
    size_ += take;
    return take;
}

bool FatFile::WriteSectors(const std::uint8_t* data, std::uint64_t sectors) {
    FatDrive& d = *drive_;
    const FatLayout& l = d.layout_;
    const std::uint32_t spc = l.sectorsPerCluster;
    while (sectors > 0) {
        const std::uint64_t fileSector = flushed_ / l.bytesPerSector;
        const std::uint64_t clusterIndex = fileSector / spc;
        const auto inCluster = static_cast<std::uint32_t>(fileSector % spc);
        std::uint64_t deviceSector;
        std::uint64_t run;
        if (clusterIndex < chainLength_) {
            deviceSector = l.ClusterSector(lastCluster_) + inCluster;
            run = std::min<std::uint64_t>(sectors, spc - inCluster);
        } else {
            const auto want = static_cast<std::uint32_t>((sectors + spc - 1) / spc);
            std::uint32_t got = 0;
            const std::uint32_t first = d.AllocateRun(want, got);
            if (first == 0) return d.Fail(FatError::VolumeFull, "the volume is full");
            if (chainLength_ == 0) firstCluster_ = first;
            else d.fat_[lastCluster_] = first;
            lastCluster_ = first + got - 1;
            chainLength_ += got;
            deviceSector = l.ClusterSector(first);
            run = std::min<std::uint64_t>(sectors, std::uint64_t{got} * spc);
        }
        if (!d.medium_->Write(deviceSector, static_cast<std::uint32_t>(run), data)) {
            return d.Fail(FatError::Io, "the medium refused a write");
        }
        data += run * l.bytesPerSector;
        sectors -= run;
        flushed_ += run * l.bytesPerSector;
    }
    return true;
}

bool FatFile::Close() {
    if (!open_) return true;
    open_ = false;
    FatDrive& d = *drive_;
    bool ok = true;
    if (!pending_.empty() && !pendingOnMedium_) {
        pending_.resize(d.layout_.bytesPerSector, 0);
        ok = WriteSectors(pending_.data(), 1);
        pending_.clear();
    }
    FatDrive::Dir& dir = *d.dirs_[dirIndex_];
    SetEntryClusterAndSize(dir.bytes.data() + std::size_t{slot_} * kDirEntryBytes, firstCluster_,
                           static_cast<std::uint32_t>(size_));
    dir.dirty = true;
    d.FileClosed(this);
    return ok;
}

// ---- FatDrive ----

FatDrive::FatDrive(int index, std::unique_ptr<BlockDevice> medium) : index_(index), medium_(std::move(medium)) {}

FatDrive::~FatDrive() {
    if (mounted_) Unmount();
}

std::unique_ptr<FatDrive> FatDrive::Create(int index, std::unique_ptr<BlockDevice> medium, std::string& error) {
    if (index < 0 || index > 25) {
        error = "drive index " + std::to_string(index) + " is not a drive letter";
        return nullptr;
    }
    if (!medium) {
        error = "no medium for the drive";
        return nullptr;
    }
    return std::unique_ptr<FatDrive>(new FatDrive(index, std::move(medium)));
}

bool FatDrive::Fail(FatError code, std::string message) {
    errorCode_ = code;
    error_ = std::string(1, Letter()) + ": " + std::move(message);
    return false;
}

bool FatDrive::Format() {
    if (mounted_) return Fail(FatError::AlreadyMounted, "cannot format a mounted drive");
    std::string why;
    auto chosen = ChooseLayout(medium_->SectorCount(), medium_->SectorSize(), why);
    if (!chosen) return Fail(FatError::NoFileSystem, why);
    FatLayout l = *chosen;
    l.volumeId = static_cast<std::uint32_t>(std::time(nullptr)) ^ 0x4B57u;
    const std::uint32_t bps = l.bytesPerSector;

    // Reserved area, then the FATs holding only the reserved entries (and the
    // FAT32 root), then an empty root folder.
    std::vector<std::uint8_t> reserved(std::size_t{l.reservedSectors} * bps, 0);
    const std::vector<std::uint8_t> boot = EncodeBootSector(l);
    std::memcpy(reserved.data(), boot.data(), bps);
    if (l.type == FatType::Fat32) std::memcpy(reserved.data() + 6 * bps, boot.data(), bps);
    if (!medium_->Write(0, l.reservedSectors, reserved.data())) return Fail(FatError::Io, "cannot write the boot sector");

    layout_ = l;
    fat_.assign(std::size_t{l.clusterCount} + 2, 0);
    fat_[0] = EndOfChain(l.type) & ~0x7u;  // media byte F8 in the low bits
    fat_[1] = EndOfChain(l.type);
    freeClusters_ = l.clusterCount;
    nextFree_ = 2;
    if (l.type == FatType::Fat32) {
        fat_[l.rootCluster] = EndOfChain(l.type);
        --freeClusters_;
        nextFree_ = l.rootCluster + 1;
    }
    if (!WriteFat() || !WriteFsInfo()) return false;
    const std::uint64_t rootSectors = l.type == FatType::Fat32 ? l.sectorsPerCluster : l.RootDirSectors();
    const std::uint64_t rootStart = l.type == FatType::Fat32 ? l.ClusterSector(l.rootCluster) : l.RootDirSector();
    std::vector<std::uint8_t> zeros(rootSectors * bps, 0);
    if (!medium_->Write(rootStart, static_cast<std::uint32_t>(rootSectors), zeros.data()) || !medium_->Flush()) {
        return Fail(FatError::Io, "cannot write the root folder");
    }
    fat_.clear();
    return true;
}

bool FatDrive::WriteFat() {
    const FatLayout& l = layout_;
    std::vector<std::uint8_t> bytes(std::size_t{l.fatSectors} * l.bytesPerSector, 0);
    for (std::size_t n = 0; n < fat_.size(); ++n) SetFatEntry(l.type, bytes.data(), n, fat_[n]);
    for (std::uint32_t copy = 0; copy < l.fatCount; ++copy) {
        if (!medium_->Write(l.reservedSectors + std::uint64_t{copy} * l.fatSectors, l.fatSectors, bytes.data())) {
            return Fail(FatError::Io, "cannot write the FAT");
        }
    }
    return true;
}

bool FatDrive::LoadFat() {
    const FatLayout& l = layout_;
    std::vector<std::uint8_t> bytes(std::size_t{l.fatSectors} * l.bytesPerSector);
    if (!medium_->Read(l.reservedSectors, l.fatSectors, bytes.data())) return Fail(FatError::Io, "cannot read the FAT");
    fat_.assign(std::size_t{l.clusterCount} + 2, 0);
    freeClusters_ = 0;
    for (std::size_t n = 0; n < fat_.size(); ++n) {
        fat_[n] = GetFatEntry(l.type, bytes.data(), n);
        if (n >= 2 && fat_[n] == 0) ++freeClusters_;
    }
    nextFree_ = 2;
    return true;
}

bool FatDrive::WriteFsInfo() {
    if (layout_.type != FatType::Fat32) return true;
    std::vector<std::uint8_t> s(layout_.bytesPerSector, 0);
    Put32(&s[0], kFsInfoLead);
    Put32(&s[484], kFsInfoStruct);
    Put32(&s[488], freeClusters_);
    Put32(&s[492], nextFree_);
    Put32(&s[508], kFsInfoTrail);
    if (!medium_->Write(1, 1, s.data()) || !medium_->Write(7, 1, s.data())) {
        return Fail(FatError::Io, "cannot write the free-space sector");
    }
    return true;
}

bool FatDrive::Mount() {
    if (mounted_) return Fail(FatError::AlreadyMounted, "already mounted");
    std::vector<std::uint8_t> boot(medium_->SectorSize());
    if (!medium_->Read(0, 1, boot.data())) return Fail(FatError::Io, "cannot read the boot sector");
    std::string why;
    auto l = DecodeBootSector(boot.data(), medium_->SectorSize(), medium_->SectorCount(), why);
    if (!l) return Fail(FatError::NoFileSystem, why);
    layout_ = *l;
    if (!LoadFat()) return false;
    dirs_.clear();
    dirByCluster_.clear();
    std::size_t root;
    if (!LoadDir(layout_.type == FatType::Fat32 ? layout_.rootCluster : 0, root)) return false;
    mounted_ = true;
    return true;
}

bool FatDrive::Unmount() {
    if (!mounted_) return Fail(FatError::NotMounted, "not mounted");
    bool ok = true;
    while (!openFiles_.empty()) ok = (*openFiles_.begin())->Close() && ok;
    for (auto& dir : dirs_) ok = FlushDir(*dir) && ok;
    ok = ok && WriteFat() && WriteFsInfo();
    if (ok && !medium_->Flush()) ok = Fail(FatError::Io, "the medium refused a write");
    mounted_ = false;
    dirs_.clear();
    dirByCluster_.clear();
    fat_.clear();
    return ok;
}

bool FatDrive::ReadChain(std::uint32_t first, std::vector<std::uint32_t>& chain) {
    chain.clear();
    std::uint32_t c = first;
    const std::uint32_t end = EndOfChain(layout_.type) & ~0x7u;
    while (c >= 2 && c < end) {
        if (c >= fat_.size() || chain.size() > layout_.clusterCount) {
            return Fail(FatError::NoFileSystem, "a cluster chain leaves the volume or loops");
        }
        chain.push_back(c);
        c = fat_[c];
    }
    return true;
}

bool FatDrive::LoadDir(std::uint32_t firstCluster, std::size_t& index) {
    if (auto it = dirByCluster_.find(firstCluster); it != dirByCluster_.end()) {
        index = it->second;
        return true;
    }
    auto dir = std::make_unique<Dir>();
    dir->firstCluster = firstCluster;
    const FatLayout& l = layout_;
    if (firstCluster == 0) {
        dir->bytes.resize(std::size_t{l.RootDirSectors()} * l.bytesPerSector);
        if (!medium_->Read(l.RootDirSector(), l.RootDirSectors(), dir->bytes.data())) {
            return Fail(FatError::Io, "cannot read the root folder");
        }
    } else {
        if (!ReadChain(firstCluster, dir->clusters)) return false;
        dir->bytes.resize(dir->clusters.size() * l.ClusterBytes());
        for (std::size_t i = 0; i < dir->clusters.size(); ++i) {
            if (!medium_->Read(l.ClusterSector(dir->clusters[i]), l.sectorsPerCluster,
                               dir->bytes.data() + i * l.ClusterBytes())) {
                return Fail(FatError::Io, "cannot read a folder");
            }
        }
    }
    // Index the entries: long-name pieces come before their short entry.
    const auto slots = static_cast<std::uint32_t>(dir->bytes.size() / kDirEntryBytes);
    std::u16string longName;
    int longChecksum = -1;
    std::uint32_t slot = 0;
    for (; slot < slots; ++slot) {
        const std::uint8_t* e = dir->bytes.data() + std::size_t{slot} * kDirEntryBytes;
        if (e[0] == 0) break;
        if (e[0] == kDeletedEntry) {
            longChecksum = -1;
            continue;
        }
        if (IsLongNameEntry(e)) {
            if (e[long_entry::kOrdinal] & long_entry::kLastPiece) longName.clear();
            longName.insert(0, LongEntryUnits(e));
            longChecksum = e[long_entry::kChecksum];
            continue;
        }
        ShortName shortName;
        std::memcpy(shortName.data(), e + short_entry::kName, shortName.size());
        const bool dotEntry = e[0] == '.';
        const std::uint8_t attributes = e[short_entry::kAttributes];
        if (!dotEntry && !(attributes & kAttrVolumeLabel)) {
            const std::u16string name =
                longChecksum == ShortNameChecksum(shortName) ? longName : ShortNameText(e);
            dir->children[FoldCase(name)] = Child{slot, (attributes & kAttrDirectory) != 0, EntryCluster(e)};
            dir->shortNames.emplace(reinterpret_cast<const char*>(shortName.data()), shortName.size());
        }
        longName.clear();
        longChecksum = -1;
    }
    dir->endSlot = slot;
    index = dirs_.size();
    dirByCluster_[firstCluster] = index;
    dirs_.push_back(std::move(dir));
    return true;
}

bool FatDrive::FlushDir(Dir& dir) {
    if (!dir.dirty) return true;
    const FatLayout& l = layout_;
    bool ok;
    if (dir.firstCluster == 0) {
        ok = medium_->Write(l.RootDirSector(), l.RootDirSectors(), dir.bytes.data());
    } else {
        ok = true;
        for (std::size_t i = 0; i < dir.clusters.size() && ok; ++i) {
            ok = medium_->Write(l.ClusterSector(dir.clusters[i]), l.sectorsPerCluster,
                                dir.bytes.data() + i * l.ClusterBytes());
        }
    }
    if (!ok) return Fail(FatError::Io, "cannot write a folder");
    dir.dirty = false;
    return true;
}

std::uint32_t FatDrive::AllocateRun(std::uint32_t want, std::uint32_t& got) {
    got = 0;
    if (freeClusters_ == 0 || want == 0) return 0;
    const std::uint32_t limit = layout_.clusterCount + 2;
    std::uint32_t c = nextFree_ >= limit ? 2 : nextFree_;
    while (fat_[c] != 0) c = c + 1 == limit ? 2 : c + 1;  // a free one exists
    const std::uint32_t first = c;
    while (got < want && c < limit && fat_[c] == 0) {
        fat_[c] = c + 1;
        ++got;
        ++c;
    }
    fat_[first + got - 1] = EndOfChain(layout_.type);
    freeClusters_ -= got;
    nextFree_ = c;
    return first;
}

bool FatDrive::ReserveSlots(Dir& dir, std::uint32_t count, std::uint32_t& first) {
    const auto capacity = static_cast<std::uint32_t>(dir.bytes.size() / kDirEntryBytes);
    if (dir.endSlot + count > capacity) {
        if (dir.firstCluster == 0) return Fail(FatError::FolderFull, "the root folder is full");
        const std::uint32_t perCluster = layout_.ClusterBytes() / kDirEntryBytes;
        const std::uint32_t need = (dir.endSlot + count - capacity + perCluster - 1) / perCluster;
        if (capacity + need * perCluster > kMaxFolderEntries) {
            return Fail(FatError::FolderFull, "a folder cannot hold more than 65536 entries");
        }
        for (std::uint32_t i = 0; i < need; ++i) {
            std::uint32_t got = 0;
            const std::uint32_t c = AllocateRun(1, got);
            if (c == 0) return Fail(FatError::VolumeFull, "the volume is full");
            fat_[dir.clusters.back()] = c;
            dir.clusters.push_back(c);
        }
        dir.bytes.resize(dir.clusters.size() * layout_.ClusterBytes(), 0);
    }
    first = dir.endSlot;
    dir.endSlot += count;
    dir.dirty = true;
    return true;
}

bool FatDrive::ResolveParent(std::string_view path, std::size_t& dirIndex, std::string& leaf) {
    if (!mounted_) return Fail(FatError::NotMounted, "not mounted");
    bool ok;
    path = StripDrive(path, Letter(), ok);
    if (!ok) return Fail(FatError::BadName, "the path names another drive");
    dirIndex = 0;
    leaf.clear();
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        const std::string_view part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty()) continue;
        if (!leaf.empty()) {
            std::string why;
            const std::u16string name = ToLongName(leaf, why);
            const Dir& dir = *dirs_[dirIndex];
            auto it = name.empty() ? dir.children.end() : dir.children.find(FoldCase(name));
            if (it == dir.children.end()) return Fail(FatError::NotFound, "no folder \"" + leaf + "\"");
            if (!it->second.isDir) return Fail(FatError::NotAFolder, "\"" + leaf + "\" is a file");
            if (!LoadDir(it->second.firstCluster, dirIndex)) return false;
        }
        leaf = std::string(part);
    }
    if (leaf.empty()) return Fail(FatError::BadName, "the path names no file or folder");
    return true;
}

bool FatDrive::Taken(std::size_t dirIndex, const std::string& name) {
    std::string why;
    if (dirs_[dirIndex]->children.count(FoldCase(ToLongName(name, why))) == 0) return false;
    Fail(FatError::Exists, "\"" + name + "\" exists already (FAT names ignore letter case)");
    return true;
}

bool FatDrive::AddEntry(std::size_t dirIndex, const std::string& name, std::uint8_t attributes,
                        std::uint32_t firstCluster, std::uint32_t& slot) {
    std::string why;
    const std::u16string longName = ToLongName(name, why);
    if (longName.empty()) return Fail(FatError::BadName, "\"" + name + "\" cannot be stored: " + why);
    if (Taken(dirIndex, name)) return false;
    Dir& dir = *dirs_[dirIndex];
    const std::u16string key = FoldCase(longName);
    // A plain 8.3 name stands alone; any other name gets long-name entries and
    // a unique short alias, numbered when the basis alone would clash or lose text.
    bool lossless;
    ShortName shortName = ShortNameBasis(longName, lossless);
    auto taken = [&dir](const ShortName& s) {
        return dir.shortNames.count(std::string(reinterpret_cast<const char*>(s.data()), 11)) != 0;
    };
    const bool plain = IsPlainShortName(name) && !taken(shortName);
    if (!plain && (!lossless || taken(shortName))) {
        const std::string basisKey(reinterpret_cast<const char*>(shortName.data()), 11);
        std::uint32_t& n = dir.nextTail[basisKey];
        const ShortName basis = shortName;
        do {
            if (++n > 999999) return Fail(FatError::FolderFull, "no short name left for \"" + name + "\"");
            shortName = WithNumericTail(basis, n);
        } while (taken(shortName));
    }
    const std::uint32_t longEntries =
        plain ? 0 : static_cast<std::uint32_t>((longName.size() + kLongNameUnitsPerEntry - 1) / kLongNameUnitsPerEntry);
    std::uint32_t first;
    if (!ReserveSlots(dir, longEntries + 1, first)) return false;

    const std::uint8_t checksum = ShortNameChecksum(shortName);
    for (std::uint32_t k = 0; k < longEntries; ++k) {
        const std::uint32_t ordinal = longEntries - k;  // stored last piece first
        WriteLongEntry(dir.bytes.data() + std::size_t{first + k} * kDirEntryBytes, longName, ordinal, k == 0,
                       checksum);
    }
    slot = first + longEntries;
    WriteShortEntry(dir.bytes.data() + std::size_t{slot} * kDirEntryBytes, shortName, attributes, firstCluster, 0);
    dir.children[key] = Child{slot, (attributes & kAttrDirectory) != 0, firstCluster};
    dir.shortNames.emplace(reinterpret_cast<const char*>(shortName.data()), 11);
    return true;
}

bool FatDrive::MakeDirectory(std::string_view path) {
    std::size_t parent;
    std::string leaf;
    if (!ResolveParent(path, parent, leaf)) return false;
    if (Taken(parent, leaf)) return false;
    std::uint32_t got = 0;
    const std::uint32_t cluster = AllocateRun(1, got);
    if (cluster == 0) return Fail(FatError::VolumeFull, "the volume is full");
    std::uint32_t slot;
    if (!AddEntry(parent, leaf, kAttrDirectory, cluster, slot)) {
        fat_[cluster] = 0;
        ++freeClusters_;
        nextFree_ = std::min(nextFree_, cluster);
        return false;
    }
    auto dir = std::make_unique<Dir>();
    dir->firstCluster = cluster;
    dir->clusters.push_back(cluster);
    dir->bytes.assign(layout_.ClusterBytes(), 0);
    dir->endSlot = 2;
    dir->dirty = true;
    ShortName dot;
    dot.fill(' ');
    dot[0] = '.';
    WriteShortEntry(dir->bytes.data(), dot, kAttrDirectory, cluster, 0);
    dot[1] = '.';
    // ".." of a folder in the root holds 0, also on FAT32.
    WriteShortEntry(dir->bytes.data() + kDirEntryBytes, dot, kAttrDirectory,
                    parent == 0 ? 0 : dirs_[parent]->firstCluster, 0);
    dirByCluster_[cluster] = dirs_.size();
    dirs_.push_back(std::move(dir));
    return true;
}

std::unique_ptr<FatFile> FatDrive::CreateFile(std::string_view path) {
    std::size_t parent;
    std::string leaf;
    std::uint32_t slot;
    if (!ResolveParent(path, parent, leaf) || !AddEntry(parent, leaf, kAttrArchive, 0, slot)) return nullptr;
    std::unique_ptr<FatFile> file(new FatFile(*this, parent, slot));
    openFiles_.insert(file.get());
    return file;
}

void FatDrive::FileClosed(FatFile* file) { openFiles_.erase(file); }

}  // namespace kestrow::fat
