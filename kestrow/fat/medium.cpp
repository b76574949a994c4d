#include "kestrow/fat/medium.h"

#include <algorithm>
#include <cstring>

namespace kestrow::fat {

int Log2Exact(std::uint64_t value) {
    if (value == 0 || (value & (value - 1)) != 0) return -1;
    int shift = 0;
    while ((value >> shift) != 1) ++shift;
    return shift;
}

namespace {

class PlainDisk final : public BlockDevice {
public:
    PlainDisk(std::uint32_t sectorSize, std::uint64_t sectorCount, SectorCallbacks io)
        : sectorSize_(sectorSize), sectorCount_(sectorCount), io_(std::move(io)) {}

    std::uint32_t SectorSize() const override { return sectorSize_; }
    std::uint64_t SectorCount() const override { return sectorCount_; }
    bool Read(std::uint64_t first, std::uint32_t count, std::uint8_t* out) override {
        return InRange(first, count) && io_.read(first, count, out);
    }
    bool Write(std::uint64_t first, std::uint32_t count, const std::uint8_t* in) override {
        return InRange(first, count) && io_.write(first, count, in);
    }
    bool Flush() override { return true; }

private:
    bool InRange(std::uint64_t first, std::uint32_t count) const {
        return first <= sectorCount_ && count <= sectorCount_ - first;
    }
    std::uint32_t sectorSize_;
    std::uint64_t sectorCount_;
    SectorCallbacks io_;
};

// Flash can only be programmed a whole page at a time. The layer maps logical
// sector s to page s >> (pageShift - sectorShift), slot s & (sectorsPerPage - 1),
// keeps pages in logical order (page n at sector n * sectorsPerPage of the
// storage) and merges partial-page writes in a one-page buffer, so the storage
// only ever sees whole, page-aligned programs.
class NandTranslationLayer final : public BlockDevice {
public:
    NandTranslationLayer(std::uint32_t sectorShift, std::uint32_t pageShift, std::uint64_t storageSectors,
                         SectorCallbacks io)
        : sectorShift_(sectorShift),
          sectorsPerPageShift_(pageShift - sectorShift),
          sectorsPerPage_(1u << (pageShift - sectorShift)),
          pageCount_(storageSectors >> (pageShift - sectorShift)),
          io_(std::move(io)),
          page_(std::size_t{1} << pageShift) {}

    std::uint32_t SectorSize() const override { return 1u << sectorShift_; }
    std::uint64_t SectorCount() const override { return pageCount_ << sectorsPerPageShift_; }

    bool Read(std::uint64_t first, std::uint32_t count, std::uint8_t* out) override {
        if (!InRange(first, count)) return false;
        if (dirty_ && Overlaps(first, count) && !Flush()) return false;
        return io_.read(first, count, out);
    }

    bool Write(std::uint64_t first, std::uint32_t count, const std::uint8_t* in) override {
        if (!InRange(first, count)) return false;
        const std::uint32_t sectorSize = SectorSize();
        while (count > 0) {
            const std::uint64_t page = first >> sectorsPerPageShift_;
            const std::uint32_t slot = static_cast<std::uint32_t>(first & (sectorsPerPage_ - 1));
            if (slot == 0 && count >= sectorsPerPage_) {
                const std::uint32_t pages = count >> sectorsPerPageShift_;
                const std::uint32_t sectors = pages << sectorsPerPageShift_;
                // Whole pages go straight out; a buffered copy of one of them is stale now.
                if (cachedPage_ >= page && cachedPage_ < page + pages) {
                    cachedPage_ = kNoPage;
                    dirty_ = false;
                }
                if (!io_.write(first, sectors, in)) return false;
                first += sectors;
                count -= sectors;
                in += std::size_t{sectors} * sectorSize;
                continue;
            }
            if (!LoadPage(page)) return false;
            const std::uint32_t n = std::min(count, sectorsPerPage_ - slot);
            std::memcpy(page_.data() + std::size_t{slot} * sectorSize, in, std::size_t{n} * sectorSize);
            dirty_ = true;
            first += n;
            count -= n;
            in += std::size_t{n} * sectorSize;
        }
        return true;
    }

    bool Flush() override {
        if (!dirty_) return true;
        if (!io_.write(cachedPage_ << sectorsPerPageShift_, sectorsPerPage_, page_.data())) return false;
        dirty_ = false;
        return true;
    }

private:
    static constexpr std::uint64_t kNoPage = ~std::uint64_t{0};

    bool InRange(std::uint64_t first, std::uint32_t count) const {
        return first <= SectorCount() && count <= SectorCount() - first;
    }
    bool Overlaps(std::uint64_t first, std::uint32_t count) const {
        const std::uint64_t start = cachedPage_ << sectorsPerPageShift_;
        return first < start + sectorsPerPage_ && start < first + count;
    }
    bool LoadPage(std::uint64_t page) {
        if (page == cachedPage_) return true;
        if (!Flush()) return false;
        cachedPage_ = kNoPage;
        if (!io_.read(page << sectorsPerPageShift_, sectorsPerPage_, page_.data())) return false;
        cachedPage_ = page;
        return true;
    }

    std::uint32_t sectorShift_;
    std::uint32_t sectorsPerPageShift_;
    std::uint32_t sectorsPerPage_;
    std::uint64_t pageCount_;
    SectorCallbacks io_;
    std::vector<std::uint8_t> page_;
    std::uint64_t cachedPage_ = kNoPage;
    bool dirty_ = false;
};

}  // namespace

std::unique_ptr<BlockDevice> CreateMedium(const MediumDescription& d, std::string& error) {
    if (!d.io.read || !d.io.write) {
        error = "the medium has no read or write callback";
        return nullptr;
    }
    if (d.kind == MediumDescription::Kind::PlainDisk) {
        if (Log2Exact(d.sectorSize) < 9) {
            error = "sector size " + std::to_string(d.sectorSize) + " is not a power of two of at least 512";
            return nullptr;
        }
        return std::make_unique<PlainDisk>(d.sectorSize, d.sectorCount, d.io);
    }
    if (d.sectorShift < 9 || d.sectorShift > 15 || d.pageShift < d.sectorShift || d.pageShift > 20) {
        error = "flash geometry: sector shift " + std::to_string(d.sectorShift) + " with page shift " +
                std::to_string(d.pageShift) + " is not usable";
        return nullptr;
    }
    return std::make_unique<NandTranslationLayer>(d.sectorShift, d.pageShift, d.sectorCount, d.io);
}

}  // namespace kestrow::fat
