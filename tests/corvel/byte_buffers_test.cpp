#include "corvel/uart/byte_buffers.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using corvel::uart::FrameParser;
using corvel::uart::TailBuffer;

namespace {

// Feeds the chunks in order and returns every payload the parser hands out.
std::vector<std::string> Parse(FrameParser& parser, const std::vector<std::string>& chunks) {
    std::vector<std::string> payloads;
    for (const std::string& chunk : chunks)
        parser.Feed(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(),
                    [&](const uint8_t* p, size_t n) { payloads.emplace_back(reinterpret_cast<const char*>(p), n); });
    return payloads;
}

struct FrameCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> payloads;
    size_t leftOver;
    friend std::ostream& operator<<(std::ostream& os, const FrameCase& c) { return os << c.name; }
};

class FrameParserCases : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameParserCases, YieldsPayloadsInOrder) {
    FrameParser parser;
    EXPECT_EQ(Parse(parser, GetParam().chunks), GetParam().payloads);
    EXPECT_EQ(parser.Buffered(), GetParam().leftOver);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameParserCases,
    ::testing::Values(
        FrameCase{"SplitOverReads", {"<D", "A>status-pay", "load</", "D>"}, {"status-payload"}, 0},
        FrameCase{"TwoFramesInOneRead", {"<DA>first-one</D><DA>second-one</D>"}, {"first-one", "second-one"}, 0},
        FrameCase{"JunkBeforeFrame", {"noise\r\nQ4>#<DA>payload!</D>"}, {"payload!"}, 0},
        FrameCase{"CloseWithoutOpenIsDropped", {"stale</D><DA>payload!</D>"}, {"payload!"}, 0},
        FrameCase{"LastOpeningTagWins", {"<DA>lost<DA>payload!</D>"}, {"payload!"}, 0},
        FrameCase{"OpenWithoutCloseWaits", {"<DA>partial payload"}, {}, 19},
        FrameCase{"EightBytesWait", {"<DA></D>"}, {}, 8},
        FrameCase{"TailKeptAfterFrame", {"<DA>payload!</D><DA>nex"}, {"payload!"}, 7}),
    [](const auto& info) { return info.param.name; });

TEST(FrameParser, EndlessTextWithoutClosingTagStaysBoundedAndParsingGoesOn) {
    FrameParser parser;
    std::string junk(8192, 'x');
    junk.replace(100, 4, "<DA>");  // an opening tag that never closes
    for (int i = 0; i < 40; ++i) {  // 320 KiB
        EXPECT_TRUE(Parse(parser, {junk}).empty());
        EXPECT_LE(parser.Buffered(), FrameParser::kCapacity);
    }
    EXPECT_EQ(Parse(parser, {"<DA>after the flood</D>"}), std::vector<std::string>{"after the flood"});
}

TEST(FrameParser, OneHugeChunkKeepsItsNewestBytes) {
    FrameParser parser;
    std::string chunk(FrameParser::kCapacity + 1000, 'y');
    chunk += "<DA>tail frame</D>";
    EXPECT_EQ(Parse(parser, {chunk}), std::vector<std::string>{"tail frame"});
}

TEST(TailBuffer, KeepsTheNewestBytes) {
    TailBuffer buffer(16);
    std::string text = "0123456789abcdefXYZ";
    buffer.Append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(buffer.Size(), 16u);
    EXPECT_TRUE(buffer.EndsWith("defXYZ"));
    EXPECT_FALSE(buffer.Contains("012"));
    buffer.Append(reinterpret_cast<const uint8_t*>("!!"), 2);
    EXPECT_TRUE(buffer.EndsWith("XYZ!!"));
    EXPECT_EQ(buffer.Size(), 16u);
}

}  // namespace
