#pragma once
// The one way the program replaces a file it writes (its state files, RAM
// configurations, boot loader blocks and the images it builds): the new
// content goes into a temporary file of a unique name beside the target, is
// synced to disk and then renamed over the target, so a reader, a second
// writer or a power cut finds either the old file or the whole new one.
//
// - The temporary is created new (never opened if something is already there,
//   never through a symbolic link) in the folder of the file it replaces; its
//   name begins with "." so folder listings pass it over.
// - A symbolic link at the target is followed to the file it names, which is
//   replaced; the link stays.
// - An existing file keeps its permission bits (and, where the program may,
//   its owner); a new file gets `newFileMode` less the umask.
#include <optional>
#include <string>
#include <string_view>

namespace kestrow::base {

inline constexpr unsigned kDefaultFileMode = 0666;
// Files whose content is nobody else's business (the password file).
inline constexpr unsigned kPrivateFileMode = 0600;

class AtomicFile {
public:
    explicit AtomicFile(std::string target, unsigned newFileMode = kDefaultFileMode);
    ~AtomicFile();  // removes the temporary unless committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary. False with `error` set when the target cannot
    // be resolved or the temporary cannot be created.
    bool Open(std::string& error);
    // The temporary, open for reading and writing; -1 before Open.
    int fd() const { return fd_; }
    // The file that Commit replaces (symbolic links followed), and the temporary.
    const std::string& Target() const { return target_; }
    const std::string& Temporary() const { return temporary_; }

    // Writes all of `bytes` at the temporary's current position.
    bool Write(std::string_view bytes, std::string& error);
    // Gives the temporary the target's mode, syncs it, and renames it over
    // the target. False (and the temporary removed) when any step fails.
    bool Commit(std::string& error);
    // Removes the temporary; the target stays as it was.
    void Discard();

private:
    std::string requested_;
    unsigned newFileMode_;
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    std::optional<unsigned> keptMode_;
    int keptOwner_ = -1;
    int keptGroup_ = -1;
};

// The whole of `bytes` as the new content of `path`, through an AtomicFile.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error,
                         unsigned newFileMode = kDefaultFileMode);

}  // namespace kestrow::base
