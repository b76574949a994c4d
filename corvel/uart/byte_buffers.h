#pragma once
// Bounded receive buffers of the reader thread. A board that keeps talking
// without ever completing what we wait for must not grow them without limit:
// both keep the newest bytes and drop the oldest.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvel::uart {

// Text accumulated while the boot prompt or the RAM-test marker is awaited.
class TailBuffer {
public:
    explicit TailBuffer(size_t capacity) : capacity_(capacity) { bytes_.reserve(capacity); }
    void Append(const uint8_t* data, size_t size);
    void Clear() { bytes_.clear(); }
    bool EndsWith(std::string_view text) const;
    bool Contains(std::string_view text) const;
    size_t Size() const { return bytes_.size(); }

private:
    size_t capacity_;
    std::vector<uint8_t> bytes_;
};

// Cuts reply frames out of the received byte stream. A frame is the payload
// between an opening tag "<DA>" and a closing tag "</D>"; bytes before the
// last opening tag that precedes a closing tag are discarded with the frame.
class FrameParser {
public:
    static constexpr size_t kCapacity = 128 * 1024;
    FrameParser() { bytes_.reserve(kCapacity); }

    // Appends a chunk and hands every complete payload, in order, to `onPayload`
    // (callable with (const uint8_t*, size_t)).
    template <typename OnPayload>
    void Feed(const uint8_t* data, size_t size, OnPayload&& onPayload) {
        Append(data, size);
        std::vector<uint8_t> payload;
        while (NextPayload(payload)) onPayload(payload.data(), payload.size());
    }
    size_t Buffered() const { return bytes_.size(); }
    void Clear() { bytes_.clear(); }

private:
    void Append(const uint8_t* data, size_t size);
    // Removes the next complete frame (and anything before it) from the buffer.
    bool NextPayload(std::vector<uint8_t>& payload);

    std::vector<uint8_t> bytes_;
};

}  // namespace corvel::uart
