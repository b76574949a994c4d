#pragma once
// Reading the files the station uploads. Nothing here throws: a folder, a
// device, a read error or a file too big for memory is a failure the caller
// turns into its result code.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvel::platform {

enum class FileError { None, CannotOpen, NotAFile, Unreadable, TooLarge, NoMemory };
// The reason in words, for the transfer log ("is not a regular file" ...).
const char* FileErrorText(FileError error);

// A regular file open for reading, closed when the object goes.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` (UTF-8). Only regular files are accepted, and a file whose
    // first byte cannot be read fails here, before the caller sends anything.
    FileError Open(const std::string& path);
    uint64_t Size() const { return size_; }
    // Reads exactly `size` bytes from the current position; false on a read
    // error or an early end of the file.
    bool Read(uint8_t* buffer, size_t size);
    // Reads what comes next, at most `capacity` bytes: the count, 0 at the
    // end of the file, -1 on a read error.
    long ReadSome(uint8_t* buffer, size_t capacity);

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// The whole of the file at `path`, at most `maxSize` bytes; nullopt with the
// reason in `error`. Reads to the end of the file, so files that report no
// size (as some system files do) are read as they are.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, uint64_t maxSize, FileError& error);

// Resizes `bytes` to `size` zero bytes; false when the memory is not there.
bool TryResize(std::vector<uint8_t>& bytes, size_t size) noexcept;

}  // namespace corvel::platform
