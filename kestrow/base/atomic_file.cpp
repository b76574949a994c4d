#include "kestrow/base/atomic_file.h"

#include "kestrow/base/file_kind.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrow::base {
namespace {

constexpr int kMaxLinkHops = 40;
constexpr int kNameAttempts = 100;
// Keeps the temporary's name inside the 255 bytes a file name may have.
constexpr std::size_t kMaxBaseInTemporary = 200;

std::string Reason(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `path` with every symbolic link at its end replaced by what it names.
bool FollowLinks(std::string path, std::string& resolved, std::string& error) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = path;
            return true;
        }
        std::string link(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n < 0) {
            error = Reason("cannot read the link", path, errno);
            return false;
        }
        link.resize(static_cast<std::size_t>(n));
        path = !link.empty() && link[0] == '/' ? link : FolderOf(path) + "/" + link;
    }
    error = Reason("cannot follow", path, ELOOP);
    return false;
}

// Only a regular file may be replaced: renaming over a device node, a pipe
// or a socket would swap it for a plain file, which nobody writing an image
// or a setting ever means. True when `path` is a regular file or does not exist.
bool MayReplace(const std::string& path, std::string& error) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    error = S_ISDIR(st.st_mode) ? Reason("cannot replace", path, EISDIR)
                                : "cannot replace " + path + ": it is " + FileKindName(st.st_mode) + ", not a regular file";
    return false;
}

std::string RandomSuffix() {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device source;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string suffix(8, ' ');
    for (char& c : suffix) c = kChars[pick(source)];
    return suffix;
}

// The folder entry of a renamed file reaches the disk only with its folder.
void SyncFolder(const std::string& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);  // some file systems refuse to sync a folder; the rename stands either way
    ::close(dir);
}

}  // namespace

AtomicFile::AtomicFile(std::string target, unsigned newFileMode)
    : requested_(std::move(target)), newFileMode_(newFileMode) {}

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Open(std::string& error) {
    Discard();
    if (!FollowLinks(requested_, target_, error)) return false;
    struct stat st{};
    keptMode_.reset();
    if (!MayReplace(target_, error)) return false;
    if (::stat(target_.c_str(), &st) == 0) {
        keptMode_ = st.st_mode & 07777;
        keptOwner_ = static_cast<int>(st.st_uid);
        keptGroup_ = static_cast<int>(st.st_gid);
    }
    const std::string folder = FolderOf(target_);
    const std::string base = "." + NameOf(target_).substr(0, kMaxBaseInTemporary) + ".tmp-";
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string candidate = folder + "/" + base + RandomSuffix();
        // O_EXCL: a new file only, and never through a link someone put there.
        fd_ = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     keptMode_ ? 0600 : newFileMode_);
        if (fd_ >= 0) {
            temporary_ = candidate;
            return true;
        }
        if (errno != EEXIST) {
            error = Reason("cannot create a file in", folder, errno);
            return false;
        }
    }
    error = Reason("cannot create a file in", folder, EEXIST);
    return false;
}

bool AtomicFile::Write(std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = Reason("cannot write", target_, n < 0 ? errno : ENOSPC);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool AtomicFile::Commit(std::string& error) {
    if (fd_ < 0) {
        error = "no file is open for " + requested_;
        return false;
    }
    bool ok = true;
    if (keptMode_) {
        if (::geteuid() == 0 && (keptOwner_ != static_cast<int>(::geteuid()) || keptGroup_ != static_cast<int>(::getegid())))
            (void)::fchown(fd_, static_cast<uid_t>(keptOwner_), static_cast<gid_t>(keptGroup_));
        if (::fchmod(fd_, static_cast<mode_t>(*keptMode_)) != 0) {
            error = Reason("cannot keep the mode of", target_, errno);
            ok = false;
        }
    }
    // On disk before it replaces the old file: a power cut right after the
    // rename must find the new content, not an empty file.
    if (ok && ::fsync(fd_) != 0) {
        error = Reason("cannot write", target_, errno);
        ok = false;
    }
    const int closed = ::close(fd_);
    fd_ = -1;
    if (ok && closed != 0) {
        error = Reason("cannot write", target_, errno);
        ok = false;
    }
    // Something else may have been put at the target since Open.
    if (ok && !MayReplace(target_, error)) ok = false;
    if (ok && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error = Reason("cannot replace", target_, errno);
        ok = false;
    }
    if (!ok) {
        Discard();
        return false;
    }
    temporary_.clear();
    SyncFolder(FolderOf(target_));
    return true;
}

void AtomicFile::Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error, unsigned newFileMode) {
    AtomicFile file(path, newFileMode);
    return file.Open(error) && file.Write(bytes, error) && file.Commit(error);
}

}  // namespace kestrow::base
