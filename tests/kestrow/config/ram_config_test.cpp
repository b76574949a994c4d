#include "kestrow/config/ram_config.h"
#include "tests/kestrow/config/message_recorder.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace kestrow::config {
namespace {

using testing::MessageRecorder;
using testing::TempFolder;

class RamConfigTest : public ::testing::Test {
protected:
    TempFolder folder;
    MessageRecorder sink;
    RamConfigPorter porter;
};

TEST_F(RamConfigTest, ExportedFileImportsBackWithTheWordMerged) {
    RamTable pairs = {{0x2000e000, 0xFFFFFFFF}, {0x21000000, 0x00002a05}, {0x20000010, 0x1}};
    std::uint32_t word = RamConfigWord{5, 1, 2, 3}.Encode();
    EXPECT_EQ(word, 5u | (1u << 9) | (2u << 10) | (3u << 13));
    folder.Write("in.txt", FormatRamConfigFile(pairs, 0));
    ASSERT_EQ(porter.Import(folder.Path("in.txt"), sink), 1);

    BurnConfig config;
    ASSERT_EQ(porter.Export(folder.Path("out.txt"), word, config, sink), 1);
    std::optional<RamTable> back = ReadRamConfigFile(folder.Path("out.txt"));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, (RamTable{{0x2000e000, (0xFFFFFFFFu & 0xFFFF01F8u) | word}, pairs[1], pairs[2]}));
    EXPECT_NE(folder.Read("out.txt").find("[CONFIG_DATA]\r\n0x2000e000, 0x"), std::string::npos);
    EXPECT_TRUE(sink.messages.empty());
}

TEST_F(RamConfigTest, ConfigurationWordComesFromTheImportForSomeChipTypes) {
    folder.Write("in.txt", "[CONFIG_DATA]\r\n0x21000000, 0x00002a07,\r\n[END]\r\n");
    ASSERT_EQ(porter.Import(folder.Path("in.txt"), sink), 1);
    EXPECT_EQ(porter.ImportedWord(6).value_or(0), 0x2a07u);
    EXPECT_FALSE(porter.ImportedWord(8));
    RamConfigWord w = RamConfigWord::Decode(0x2a07);
    EXPECT_EQ(w.ram_type, 7);
    EXPECT_EQ(w.bank, 1);
    EXPECT_EQ(w.column, 2);
    EXPECT_EQ(w.row, 1);
    EXPECT_FALSE(RamConfigWord::DdrFrequencyEditable(0x2a07));
    EXPECT_TRUE(RamConfigWord::DdrFrequencyEditable(0x2a05));
}

TEST_F(RamConfigTest, FileSizeLimit) {
    std::string body = "[CONFIG_DATA]\r\n0x20000000, 0x00000001,\r\n[END]\r\n";
    std::string padding(10240 - body.size() - 2, '#');
    folder.Write("ok.txt", body + padding + "\r\n");
    folder.Write("big.txt", body + padding + "#\r\n");
    EXPECT_TRUE(ReadRamConfigFile(folder.Path("ok.txt")));
    EXPECT_FALSE(ReadRamConfigFile(folder.Path("big.txt")));
}

TEST_F(RamConfigTest, WhatMakesAFileValid) {
    std::string pairs127, pairs128;
    for (int i = 0; i < 128; ++i) {
        char line[40];
        std::snprintf(line, sizeof line, "0x%08x, 0x%08x,\r\n", 0x20000000 + 4 * i, i);
        (i < 127 ? pairs127 : pairs128) += line;
    }
    pairs128 = pairs127 + pairs128;
    const std::pair<std::string, bool> cases[] = {
        {"# c\r\n// c\r\n\r\n[ CONFIG_BRAND]\r\n[CONFIG_DATA]\r\n0x20000000, 0x1,\r\n[END]\r\n", true},
        {"[CONFIG_DATA]\r\n0x20000000,0x00000001,\r\n[END]\r\n", true},  // "," at character 22
        {"[CONFIG_DATA]\r\n" + pairs127 + "[END]\r\n", true},
        {"[CONFIG_DATA]\r\n" + pairs128 + "[END]\r\n", false},
        {" [CONFIG_DATA]\r\n", false},                            // a blank before "["
        {"[OTHER]\r\n", false},
        {"[CONFIG_DATA\r\n", false},
        {"[CONFIG_DATA]\r\n0x2000, 0x1\r\n[END]\r\n", false},      // "," neither at 10 nor at 22
        {"[CONFIG_DATA]\r\n0x20000000, 0x1,\r\n[END]\r\ntext\r\n", false},
    };
    for (const auto& [text, valid] : cases) {
        folder.Write("f.txt", text);
        EXPECT_EQ(ReadRamConfigFile(folder.Path("f.txt")).has_value(), valid) << text.substr(0, 60);
    }
    folder.Write("f.txt", "[CONFIG_DATA]\r\n" + pairs127);
    EXPECT_EQ(ReadRamConfigFile(folder.Path("f.txt"))->at(126), (RamRegister{0x20000000 + 4 * 126, 126}));
}

TEST_F(RamConfigTest, MessagesAndNothingHalfImported) {
    folder.Write("good.txt", "[CONFIG_DATA]\r\n0x20000000, 0x1,\r\n");
    folder.Write("bad.txt", "junk\r\n");
    ASSERT_EQ(porter.Import(folder.Path("good.txt"), sink), 1);
    EXPECT_EQ(porter.Import(folder.Path("bad.txt"), sink), 0);
    EXPECT_EQ(porter.Import(folder.Path("missing.txt"), sink), 0);
    EXPECT_EQ(porter.Import("", sink), 0);
    EXPECT_EQ(porter.imported()->size(), 1u);  // the earlier import stands
    BurnConfig config;
    EXPECT_EQ(porter.Export("", 0, config, sink), 0);
    EXPECT_EQ(porter.Export(folder.Path("no/such/dir/out.txt"), 0, config, sink), 0);
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"Import file fail,the file is not valid!",
                                                      "Import file fail,the file is not valid!", "Nothing import",
                                                      "Nothing Export",
                                                      "Export file fail, maybe no enough space!"}));
}

TEST_F(RamConfigTest, ExportWithoutImportUsesTheActiveTableOfTheClockPair) {
    BurnConfig config;
    config.chip_type = 8;
    config.active_ram_tables = {{{0x1, 0x2}}, {{0x2000e000, 0x0}, {0x3, 0x4}}};
    config.clock_index = 1;
    // The ramconfig/ default of the RAM type is tried first; the station folder has none here.
    ASSERT_EQ(porter.Export(folder.Path("out.txt"), 0x0203, config, sink), 1);
    EXPECT_EQ(*ReadRamConfigFile(folder.Path("out.txt")), (RamTable{{0x2000e000, 0x0203}, {0x3, 0x4}}));
    EXPECT_EQ(RamConfigFileName(3), "ramconfig_ddr2.txt");
    EXPECT_EQ(RamConfigFileName(2), "ramconfig_ddr.txt");
}

}  // namespace
}  // namespace kestrow::config
