// Reply frames cut out of a byte stream: the same bytes give the same payloads
// however the serial port happens to split them into chunks.
#include "corvel/uart/byte_buffers.h"

#include <cstdlib>
#include <vector>

using corvel::uart::FrameParser;

namespace {

using Payloads = std::vector<std::vector<uint8_t>>;

Payloads FeedInChunks(const uint8_t* data, size_t size, size_t chunk) {
    static FrameParser parser;  // one reader's parser, reused as the reader does
    parser.Clear();
    Payloads out;
    for (size_t at = 0; at < size; at += chunk)
        parser.Feed(data + at, std::min(chunk, size - at),
                    [&](const uint8_t* p, size_t n) { out.emplace_back(p, p + n); });
    if (parser.Buffered() > FrameParser::kCapacity) std::abort();
    return out;
}

}  // namespace

// Input: one byte choosing the chunk size, then the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t chunk = size_t(data[0]) + 1;
    Payloads whole = FeedInChunks(data + 1, size - 1, size);
    Payloads split = FeedInChunks(data + 1, size - 1, chunk);
    // Below the parser's capacity nothing is dropped, so the split cannot matter.
    if (size - 1 < FrameParser::kCapacity && whole != split) std::abort();
    return 0;
}
