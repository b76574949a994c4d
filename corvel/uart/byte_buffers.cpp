#include "corvel/uart/byte_buffers.h"

#include <algorithm>
#include <cstring>

namespace corvel::uart {
namespace {

constexpr uint8_t kOpenTag[4] = {'<', 'D', 'A', '>'};
constexpr uint8_t kCloseTag[4] = {'<', '/', 'D', '>'};
constexpr size_t kTagSize = 4;
// Below this many bytes no frame worth parsing can be complete.
constexpr size_t kMinBufferedForScan = 9;

// Appends to `bytes` but keeps at most `capacity` of the newest bytes.
void AppendBounded(std::vector<uint8_t>& bytes, size_t capacity, const uint8_t* data, size_t size) {
    if (size >= capacity) {
        bytes.assign(data + (size - capacity), data + size);
        return;
    }
    size_t total = bytes.size() + size;
    if (total > capacity) bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(total - capacity));
    bytes.insert(bytes.end(), data, data + size);
}

}  // namespace

void TailBuffer::Append(const uint8_t* data, size_t size) { AppendBounded(bytes_, capacity_, data, size); }

bool TailBuffer::EndsWith(std::string_view text) const {
    return bytes_.size() >= text.size() &&
           std::memcmp(bytes_.data() + bytes_.size() - text.size(), text.data(), text.size()) == 0;
}

bool TailBuffer::Contains(std::string_view text) const {
    return std::search(bytes_.begin(), bytes_.end(), text.begin(), text.end()) != bytes_.end();
}

void FrameParser::Append(const uint8_t* data, size_t size) { AppendBounded(bytes_, kCapacity, data, size); }

bool FrameParser::NextPayload(std::vector<uint8_t>& payload) {
    while (bytes_.size() >= kMinBufferedForScan) {
        size_t payloadStart = 0;
        bool opened = false;
        size_t i = 0;
        for (; i + kTagSize <= bytes_.size(); ++i) {
            if (std::memcmp(&bytes_[i], kOpenTag, kTagSize) == 0) {
                opened = true;
                payloadStart = i + kTagSize;
                i += kTagSize - 1;
            } else if (std::memcmp(&bytes_[i], kCloseTag, kTagSize) == 0) {
                break;
            }
        }
        if (i + kTagSize > bytes_.size()) return false;  // no closing tag yet
        auto frameEnd = bytes_.begin() + static_cast<long>(i + kTagSize);
        if (opened) {
            payload.assign(bytes_.begin() + static_cast<long>(payloadStart), bytes_.begin() + static_cast<long>(i));
            bytes_.erase(bytes_.begin(), frameEnd);
            return true;
        }
        bytes_.erase(bytes_.begin(), frameEnd);  // a closing tag without an opening one
    }
    return false;
}

}  // namespace corvel::uart
