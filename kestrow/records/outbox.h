#pragma once
// The station's outbox: burn ends that could not be written into the store
// wait here until it answers again. One JSON object per line, appended and
// synced to disk before the burn is reported, so neither a lost server nor a
// power cut loses a result. Each entry names the store it belongs to (its
// store_id), so a station that moves to another store never writes an old
// result into the wrong one.
#include "kestrow/records/record_store.h"

#include <functional>
#include <string>
#include <vector>

namespace kestrow::records {

class Outbox {
public:
    explicit Outbox(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // False, with the reason in `error`, when the entry could not be made durable.
    bool Append(const std::string& storeId, RecordId id, const BurnEnd& end, std::string& error) const;

    struct Entry {
        std::string store;
        RecordId id = 0;
        BurnEnd end;
        std::string line;  // as stored
    };
    struct Contents {
        std::vector<Entry> entries;
        std::vector<std::string> unreadable;  // lines that are no entry (a write cut short), kept as they are
    };
    Contents Read() const;
    // Entries that belong to `storeId`.
    std::uint64_t Count(const std::string& storeId) const;

    // Hands every entry of `storeId` to `deliver`, in file order, and removes
    // those it returns true for; everything else stays. If `deliver` throws,
    // what was delivered before is removed and the exception goes on. The outbox is
    // locked throughout (another process of the station may append meanwhile).
    // Returns how many were delivered; false in `ok` (and why in `error`) when
    // the file could not be rewritten, in which case entries may be delivered
    // again later (delivering an end twice changes nothing).
    std::uint64_t Drain(const std::string& storeId, const std::function<bool(const Entry&)>& deliver, bool& ok,
                        std::string& error) const;

private:
    bool Rewrite(const std::vector<std::string>& lines, std::string& error) const;
    std::string path_;
};

}  // namespace kestrow::records
