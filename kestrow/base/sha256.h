#pragma once
// SHA-256 of a byte stream or a file, for the burn records: a record names the
// exact burn file a board got by its digest.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrow::base {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, std::size_t length);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t total_ = 0;
};

// The digest of a whole file; nothing when it cannot be read to its end.
std::optional<std::string> Sha256OfFile(const std::string& path);

}  // namespace kestrow::base
