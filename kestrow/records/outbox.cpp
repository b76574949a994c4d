#include "kestrow/records/outbox.h"

#include "kestrow/base/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace kestrow::records {
namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A file's last byte is a line end (or the file is empty).
bool EndsWithLineEnd(int fd) {
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size <= 0) return true;
    char last = 0;
    return ::pread(fd, &last, 1, size - 1) == 1 && last == '\n';
}

void SyncFolderOf(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Another process of the same station (`kestrow records` beside a running
// station) may deliver while this one appends: both hold this lock.
class OutboxLock {
public:
    explicit OutboxLock(const std::string& outboxPath) {
        fd_ = ::open((outboxPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~OutboxLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    OutboxLock(const OutboxLock&) = delete;
    OutboxLock& operator=(const OutboxLock&) = delete;

private:
    int fd_ = -1;
};

std::optional<Outbox::Entry> ParseEntry(const std::string& line) {
    try {
        nlohmann::json j = nlohmann::json::parse(line);
        std::optional<BurnResult> result = BurnResultFromName(j.at("result").get<std::string>());
        if (!result || *result == BurnResult::Running) return std::nullopt;
        Outbox::Entry entry;
        entry.store = j.at("store").get<std::string>();
        entry.id = j.at("record").get<RecordId>();
        entry.end.result = *result;
        entry.end.status_code = j.at("status_code").get<unsigned>();
        entry.end.status = j.at("status").get<std::string>();
        entry.end.bytes = j.at("bytes").get<std::uint64_t>();
        entry.end.duration_s = j.at("duration_s").get<double>();
        entry.end.flash_id = j.at("flash_id").get<std::uint32_t>();
        entry.line = line;
        return entry;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

bool Outbox::Append(const std::string& storeId, RecordId id, const BurnEnd& end, std::string& error) const {
    nlohmann::json entry = {{"store", storeId},
                            {"record", id},
                            {"result", BurnResultName(end.result)},
                            {"status_code", end.status_code},
                            {"status", end.status},
                            {"bytes", end.bytes},
                            {"duration_s", end.duration_s},
                            {"flash_id", end.flash_id}};
    std::string line = entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    OutboxLock lock(path_);
    const bool existed = std::filesystem::exists(path_);
    int fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError("cannot open " + path_);
        return false;
    }
    // A line cut short by a crash must not swallow the entry after it.
    if (!EndsWithLineEnd(fd)) line.insert(line.begin(), '\n');
    bool ok = WriteAll(fd, line) && ::fsync(fd) == 0;
    if (!ok) error = SystemError("cannot write " + path_);
    ::close(fd);
    if (ok && !existed) SyncFolderOf(path_);
    return ok;
}

Outbox::Contents Outbox::Read() const {
    Contents contents;
    std::ifstream in(path_, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (std::optional<Entry> entry = ParseEntry(line))
            contents.entries.push_back(std::move(*entry));
        else
            contents.unreadable.push_back(line);
    }
    return contents;
}

std::uint64_t Outbox::Count(const std::string& storeId) const {
    std::uint64_t count = 0;
    for (const Entry& entry : Read().entries) count += entry.store == storeId;
    return count;
}

std::uint64_t Outbox::Drain(const std::string& storeId, const std::function<bool(const Entry&)>& deliver, bool& ok,
                            std::string& error) const {
    ok = true;
    if (!std::filesystem::exists(path_)) return 0;
    OutboxLock lock(path_);
    Contents contents = Read();
    std::vector<bool> delivered(contents.entries.size(), false);
    std::uint64_t count = 0;
    // What stays: every entry not delivered, then the unreadable lines.
    auto rewrite = [&] {
        if (count == 0) return;
        std::vector<std::string> kept;
        for (std::size_t i = 0; i < contents.entries.size(); ++i)
            if (!delivered[i]) kept.push_back(contents.entries[i].line);
        kept.insert(kept.end(), contents.unreadable.begin(), contents.unreadable.end());
        ok = Rewrite(kept, error);
    };
    try {
        for (std::size_t i = 0; i < contents.entries.size(); ++i) {
            if (contents.entries[i].store != storeId || !deliver(contents.entries[i])) continue;
            delivered[i] = true;
            ++count;
        }
    } catch (...) {
        rewrite();
        throw;
    }
    rewrite();
    return count;
}

bool Outbox::Rewrite(const std::vector<std::string>& lines, std::string& error) const {
    if (lines.empty()) {
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
            error = SystemError("cannot remove " + path_);
            return false;
        }
        SyncFolderOf(path_);
        return true;
    }
    std::string bytes;
    for (const std::string& line : lines) bytes += line + "\n";
    std::string why;
    if (!base::WriteFileAtomically(path_, bytes, why)) {
        error = "cannot rewrite " + path_ + ": " + why;
        return false;
    }
    return true;
}

}  // namespace kestrow::records
