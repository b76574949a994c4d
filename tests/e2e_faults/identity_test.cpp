// Each board's own identity, end to end: the sample station switched to a
// whole-flash image of its partition list, the vboard program playing the
// boards, `kestrow burn` burning them and `kestrow records` listing them. The
// addresses are read back from the flash each board saved, at the places the
// image's own partition table gives.
#include "tests/e2e_faults/station_run.h"

#include "kestrow/image/spi_image_inspect.h"
#include "tests/kestrow/records/postgres_server.h"

#include <fstream>
#include <map>
#include <set>

namespace kestrow::e2e {
namespace {

constexpr const char* kFlashId = "0xef4018";  // W25Q128JV, 16 MiB, in the sample station's list
constexpr std::uint32_t kFlashSize = 16 << 20;
constexpr const char* kSerialPrefix = "KW17SERIALPREFIXABCDEFGHIJKLMNOP";  // 32 characters

std::uint32_t Le32(const std::string& bytes, size_t at) {
    return std::uint32_t(std::uint8_t(bytes[at])) | std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 | std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

using records::testing::PostgresServer;

class IdentityLine : public ::testing::Test {
protected:
    IdentityLine() : dir_(fs::temp_directory_path() / ("kw_identity_" + std::to_string(::getpid()))) {}
    ~IdentityLine() override { fs::remove_all(dir_); }

    void SetUp() override { ASSERT_NO_FATAL_FAILURE(PrepareStation(dir_)); }

    // A copy of the sample station burning a whole-flash image of its own partition list.
    void PrepareStation(const fs::path& dir) {
        CopySampleStation(dir);
        Finished built = Kestrow("spi-image --station " + Quoted(dir) + " --flash W25Q128JV --output " +
                                 Quoted(dir / "u-boot.bin"));
        ASSERT_EQ(built.status, 0) << built.output;
        image_ = ReadAll(dir_ / "u-boot.bin");
        ASSERT_EQ(image_.size(), kFlashSize);
        std::string error;
        ASSERT_TRUE(image::ReadSpiImageLayout((dir_ / "u-boot.bin").string(), layout_, error)) << error;
        image_sha256_ = Sha256Sum(dir_ / "u-boot.bin");
    }

    Finished Kestrow(const std::string& args) const { return RunToEnd(std::string("'") + KESTROW_PROGRAM + "' " + args); }
    void Pools(const std::string& args, const std::string& records = "") const {
        Finished set = Kestrow("pools --station " + Quoted(dir_) + " " + args + Store(records));
        ASSERT_EQ(set.status, 0) << set.output;
    }
    static std::string Store(const std::string& records) { return records.empty() ? "" : " --records '" + records + "'"; }
    // `kestrow records --json`, one object per record.
    std::vector<nlohmann::json> Records(const std::string& records = "") const {
        Finished listed = Kestrow("records --station " + Quoted(dir_) + " --json" + Store(records));
        EXPECT_EQ(listed.status, 0) << listed.output;
        std::vector<nlohmann::json> out;
        std::istringstream lines(listed.output);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line[0] == '{') out.push_back(nlohmann::json::parse(line));
        return out;
    }
    static std::string Sha256Sum(const fs::path& path) {
        Finished sum = RunToEnd("sha256sum " + Quoted(path));
        return sum.output.substr(0, 64);
    }

    // The text of data partition `name` in `flash`: its 32-bit length, then
    // the text, at the partition's start in the image's table.
    std::string DataText(const std::string& flash, const std::string& name) const {
        for (const image::PartitionEntry& e : layout_.table.entries) {
            if (e.name != name) continue;
            const std::uint32_t length = Le32(flash, e.start);
            if (length > 252) return "<no record: length word " + std::to_string(length) + ">";
            return flash.substr(e.start + 4, length);
        }
        return "<no partition " + name + ">";
    }
    // Whether `flash` is the image outside the blocks a board's identity
    // changes: its three data partitions and the two tables with their lengths.
    bool SameOutsideIdentity(const std::string& flash) const {
        if (flash.size() != image_.size()) return false;
        std::vector<std::pair<size_t, size_t>> changed = {{layout_.table.offset, layout_.eraseSize},
                                                          {layout_.backup.offset, layout_.eraseSize}};
        for (const image::PartitionEntry& e : layout_.table.entries)
            if (e.name == "MAC" || e.name == "SEQ" || e.name == "BTADDR") changed.push_back({e.start, e.sizeKiB * 1024});
        std::string a = flash, b = image_;
        for (auto [at, length] : changed) {
            a.replace(at, length, length, '\0');
            b.replace(at, length, length, '\0');
        }
        return a == b;
    }

    fs::path dir_;
    std::string image_;
    std::string image_sha256_;
    image::SpiImageLayout layout_;
};

// Three boards in a row get three consecutive addresses of each pool in their
// own flash; the image file stays as it was and each board has its record.
TEST_F(IdentityLine, ThreeBoardsInARowGetConsecutiveAddressesInTheirFlash) {
    Pools("--mac-start 00:11:22:AA:00:00 --mac-end 00:11:22:AA:FF:FF --serial-prefix " + std::string(kSerialPrefix) +
          " --serial-start 41 --serial-end 999 --bt-start 44A6E6000010 --bt-end 44A6E6FFFFFF --enable mac,serial,bt");
    StationRun run(dir_, false);
    const fs::path flash = dir_ / "flash.bin";
    VboardProcess vboard({"--flash-id", kFlashId, "--flash-size", std::to_string(kFlashSize), "--boards", "3",
                          "--save-flash", flash.string()});
    ASSERT_FALSE(vboard.Port().empty());
    run.PlugPort(vboard.Port());
    run.Start(3, 240);

    const char* macs[] = {"00:11:22:AA:00:00", "00:11:22:AA:00:01", "00:11:22:AA:00:02"};
    const std::string serials[] = {std::string(kSerialPrefix) + "000041", std::string(kSerialPrefix) + "000042",
                                   std::string(kSerialPrefix) + "000043"};
    const char* bluetooth[] = {"44A6E6000010", "44A6E6000011", "44A6E6000012"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("board " + std::to_string(i + 1));
        auto line = run.NextRecord(120s);
        ASSERT_TRUE(line) << "no result";
        EXPECT_EQ((*line)["result"], "passed") << (*line)["status"];
        EXPECT_EQ((*line)["mac"], macs[i]);
        EXPECT_EQ((*line)["serial"], serials[i]);
        EXPECT_EQ((*line)["bluetooth"], bluetooth[i]);
        EXPECT_EQ((*line)["burn_file_sha256"], image_sha256_);
    }
    EXPECT_EQ(run.Wait(30s), 0);
    EXPECT_EQ(vboard.Wait(10s), 0);

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("board " + std::to_string(i + 1));
        const std::string content = ReadAll(flash.string() + "." + std::to_string(i + 1));
        EXPECT_EQ(DataText(content, "MAC"), macs[i]);
        EXPECT_EQ(DataText(content, "SEQ"), serials[i]);
        EXPECT_EQ(DataText(content, "BTADDR"), bluetooth[i]);
        EXPECT_TRUE(SameOutsideIdentity(content)) << "the rest of the flash is not the image";
    }
    EXPECT_EQ(ReadAll(dir_ / "u-boot.bin"), image_) << "the image file changed";

    const std::vector<nlohmann::json> records = Records();
    ASSERT_EQ(records.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(records[size_t(i)]["result"], "passed");
        EXPECT_EQ(records[size_t(i)]["mac"], macs[i]);
        EXPECT_EQ(records[size_t(i)]["serial"], serials[i]);
        EXPECT_EQ(records[size_t(i)]["bluetooth"], bluetooth[i]);
        EXPECT_EQ(records[size_t(i)]["burn_file_sha256"], image_sha256_);
        EXPECT_EQ(records[size_t(i)]["flash_id"], kFlashId);
    }
    // The channel's entry in config_addr.txt is the last board's, confirmed.
    const std::string addresses = ReadAll(dir_ / "config_addr.txt");
    EXPECT_NE(addresses.find("mac_current_low_0_F=Y"), std::string::npos) << addresses;
    EXPECT_NE(addresses.find("mac_current_low_0_A=AA:00:02"), std::string::npos) << addresses;
    EXPECT_NE(addresses.find("serial_current_low_0_A=000043"), std::string::npos) << addresses;
}

// A station whose store was lost (a new records.db) starts its pools above
// what config_addr.txt and blue_addr_log.txt say it handed out: the log's
// highest Bluetooth address was given to a board and is not given again.
TEST_F(IdentityLine, PoolsStartAboveWhatTheStationFilesSayWasHandedOut) {
    Pools("--mac-start 00:11:22:AA:00:00 --mac-end 00:11:22:AA:00:FF --bt-start 44A6E6000000 --bt-end 44A6E60000FF "
          "--enable mac,bt");
    {
        std::ofstream addresses(dir_ / "config_addr.txt");
        addresses << "[config_addr]\r\nmac_current_low_0_F=Y\r\nmac_current_low_0_A=AA:00:07\r\n";
        std::ofstream log(dir_ / "blue_addr_log.txt");
        log << "1,44A6E6000003,1\r\n2,44A6E6000010,1\r\n";
    }
    // The station starts (and raises its pools), watches a port with no board and ends.
    Finished burn = Kestrow("burn --station " + Quoted(dir_) + " --port /dev/ttyUSB-kestrow-absent --timeout 1");
    EXPECT_NE(burn.status, 2) << burn.output;
    Finished shown = Kestrow("pools --station " + Quoted(dir_));
    ASSERT_EQ(shown.status, 0) << shown.output;
    EXPECT_NE(shown.output.find("  range       00:11:22:AA:00:00 .. 00:11:22:AA:00:FF\n  next        00:11:22:AA:00:08\n"),
              std::string::npos)
        << shown.output;
    EXPECT_NE(shown.output.find("  range       44A6E6000000 .. 44A6E60000FF\n  next        44A6E6000011\n"),
              std::string::npos)
        << shown.output;
}

// A board that fails in the middle of its image keeps its address; the next
// board gets the next one; once the pool is used up the board after is
// refused before anything is written to it, with the pool's message.
TEST_F(IdentityLine, AFailedBurnUsesItsAddressAndAUsedUpPoolRefusesBeforeWriting) {
    Pools("--mac-start 00:11:22:AA:00:00 --mac-end 00:11:22:AA:00:01 --enable mac");
    StationRun run(dir_, false);
    const fs::path flash = dir_ / "flash.bin";
    run.Start(3, 240);
    {
        VboardProcess failing({"--flash-id", kFlashId, "--flash-size", std::to_string(kFlashSize), "--fault",
                               "disconnect=2000000"});
        ASSERT_FALSE(failing.Port().empty());
        run.PlugPort(failing.Port());
        auto first = run.NextRecord(120s);
        ASSERT_TRUE(first);
        EXPECT_EQ((*first)["result"], "failed");
        EXPECT_EQ((*first)["mac"], "00:11:22:AA:00:00");
    }
    VboardProcess good({"--flash-id", kFlashId, "--flash-size", std::to_string(kFlashSize), "--boards", "2",
                        "--save-flash", flash.string()});
    ASSERT_FALSE(good.Port().empty());
    run.PlugPort(good.Port());
    auto second = run.NextRecord(120s);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)["result"], "passed") << (*second)["status"];
    EXPECT_EQ((*second)["mac"], "00:11:22:AA:00:01");
    auto third = run.NextRecord(120s);
    ASSERT_TRUE(third);
    EXPECT_EQ((*third)["result"], "failed");
    EXPECT_TRUE((*third)["mac"].is_null()) << (*third)["mac"];
    EXPECT_EQ(run.Wait(30s), 1);
    EXPECT_EQ(good.Wait(10s), 0);

    EXPECT_EQ(DataText(ReadAll(flash.string() + ".1"), "MAC"), "00:11:22:AA:00:01");
    const std::string refused = ReadAll(flash.string() + ".2");
    ASSERT_EQ(refused.size(), kFlashSize);
    EXPECT_EQ(refused.find_first_not_of('\xFF'), std::string::npos) << "the refused board's flash was written";
    // The pool's own message (language entry 252), with its range.
    bool told = false;
    for (const auto& entry : fs::directory_iterator(dir_ / "log"))
        told = told || ReadAll(entry.path()).find("Burnt MAC address exceed the maximum") != std::string::npos;
    EXPECT_TRUE(told) << "no channel log names the used-up pool";

    const std::vector<nlohmann::json> records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["mac"], "00:11:22:AA:00:00");
    EXPECT_EQ(records[0]["result"], "failed");
    EXPECT_EQ(records[1]["mac"], "00:11:22:AA:00:01");
    EXPECT_TRUE(records[2]["mac"].is_null());
}

// A station killed in the middle of a burn: at its next start that board's
// record says "interrupted", and its address goes to no other board.
TEST_F(IdentityLine, KilledMidBurnTheRecordIsInterruptedAndItsAddressNotReused) {
    Pools("--mac-start 00:11:22:AA:00:00 --mac-end 00:11:22:AA:FF:FF --enable mac");
    {
        StationRun killed(dir_, false);
        killed.KeepFolder();
        VboardProcess board({"--flash-id", kFlashId, "--flash-size", std::to_string(kFlashSize), "--pace"});
        ASSERT_FALSE(board.Port().empty());
        killed.PlugPort(board.Port());
        killed.Start(1, 240);
        // Killed once the board has its address and its image streams.
        bool streaming = false;
        for (auto until = Clock::now() + 120s; !streaming && Clock::now() < until; std::this_thread::sleep_for(100ms)) {
            for (const nlohmann::json& r : Records())
                streaming = streaming || (r["result"] == "running" && !r["mac"].is_null());
        }
        ASSERT_TRUE(streaming) << "the board never took its address";
        killed.Kill();
    }
    std::vector<nlohmann::json> before = Records();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0]["result"], "running");  // nobody has said otherwise yet

    StationRun next(dir_, false);
    next.KeepFolder();
    VboardProcess board({"--flash-id", kFlashId, "--flash-size", std::to_string(kFlashSize)});
    ASSERT_FALSE(board.Port().empty());
    next.PlugPort(board.Port());
    next.Start(1, 240);
    auto line = next.NextRecord(120s);
    ASSERT_TRUE(line);
    EXPECT_EQ((*line)["result"], "passed") << (*line)["status"];
    EXPECT_EQ((*line)["mac"], "00:11:22:AA:00:01");
    EXPECT_EQ(next.Wait(30s), 0);

    const std::vector<nlohmann::json> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["result"], "interrupted");
    EXPECT_EQ(records[0]["mac"], "00:11:22:AA:00:00");
    EXPECT_EQ(records[1]["result"], "passed");
}

class FleetLine : public IdentityLine {
protected:
    void SetUp() override {
        if (std::string why = PostgresServer::Unavailable(); !why.empty()) GTEST_SKIP() << "PostgreSQL: " << why;
        IdentityLine::SetUp();
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        url_ = server_.NewDatabase(error);
        ASSERT_FALSE(url_.empty()) << error;
        Pools("--mac-start 00:11:22:AA:00:00 --mac-end 00:11:22:AA:FF:FF --enable mac", url_);
    }
    PostgresServer server_;  // this test's own: it may be stopped in the middle
    std::string url_;
};

// Two stations, two ports each, burning at once from one PostgreSQL pool:
// every board has its own address, in its flash and in its record.
TEST_F(FleetLine, TwoStationsBurningAtOnceFromOnePoolNeverRepeatAnAddress) {
    const fs::path other = dir_.string() + "_b";
    ASSERT_NO_FATAL_FAILURE(PrepareStation(other));
    struct Line {
        std::unique_ptr<StationRun> run;
        std::unique_ptr<VboardProcess> boards;
        std::vector<std::string> ports;
    };
    Line lines[2];
    const fs::path folders[2] = {dir_, other};
    for (int i = 0; i < 2; ++i) {
        const std::string flash = (folders[i] / "flash.bin").string();
        lines[i].boards = std::make_unique<VboardProcess>(std::vector<std::string>{
            "--flash-id", kFlashId, "--flash-size", std::to_string(kFlashSize), "--ports", "2", "--boards", "2",
            "--save-flash", flash});
        ASSERT_FALSE(lines[i].boards->Port().empty());
        lines[i].run = std::make_unique<StationRun>(folders[i], false);
        lines[i].run->PlugPort(lines[i].boards->Port());
    }
    // The second port of each vboard is its second output line: read by the
    // station straight from the vboard's list of ports.
    for (int i = 0; i < 2; ++i) lines[i].run->Start(4, 300, {"--port", lines[i].boards->SecondPort(), "--records", url_});

    std::set<std::string> macs;
    for (int i = 0; i < 2; ++i) {
        for (int b = 0; b < 4; ++b) {
            auto line = lines[i].run->NextRecord(240s);
            ASSERT_TRUE(line) << "station " << i << " board " << b;
            EXPECT_EQ((*line)["result"], "passed") << (*line)["status"];
            EXPECT_TRUE(macs.insert((*line)["mac"].get<std::string>()).second) << "repeated: " << (*line)["mac"];
        }
        EXPECT_EQ(lines[i].run->Wait(30s), 0);
    }
    EXPECT_EQ(macs.size(), 8u);
    EXPECT_EQ(*macs.begin(), "00:11:22:AA:00:00");
    EXPECT_EQ(*macs.rbegin(), "00:11:22:AA:00:07");  // none skipped either

    // Each board's flash holds the address its station's record names.
    std::set<std::string> inFlash;
    for (const fs::path& folder : folders)
        for (const char* file : {"flash.bin.p1.1", "flash.bin.p1.2", "flash.bin.p2.1", "flash.bin.p2.2"})
            inFlash.insert(DataText(ReadAll(folder / file), "MAC"));
    EXPECT_EQ(inFlash, macs);
    EXPECT_EQ(Records(url_).size(), 8u);
    fs::remove_all(other);
}

// The server stops while a board burns: that board's result waits in the
// station's outbox, no new board is taken, and once the server is back the
// waiting result arrives and the next board burns with the next address.
TEST_F(FleetLine, StoreGoneMidRunRefusesNewBoardsAndLosesNoRecord) {
    StationRun run(dir_, false);
    VboardProcess vboard({"--flash-id", kFlashId, "--flash-size", std::to_string(kFlashSize), "--boards", "2"});
    ASSERT_FALSE(vboard.Port().empty());
    run.PlugPort(vboard.Port());
    run.Start(2, 300, {"--records", url_});

    // Stopped once the board has its address and its image streams.
    bool streaming = false;
    for (auto until = Clock::now() + 120s; !streaming && Clock::now() < until; std::this_thread::sleep_for(100ms))
        for (const nlohmann::json& r : Records(url_)) streaming = streaming || !r["mac"].is_null();
    ASSERT_TRUE(streaming);
    server_.Stop();
    auto first = run.NextRecord(120s);
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["result"], "passed");
    EXPECT_EQ((*first)["mac"], "00:11:22:AA:00:00");
    // The next board is there, but no board is taken while the store is away.
    EXPECT_FALSE(run.NextRecord(5s)) << "a board was burned without its store";
    EXPECT_NE(ReadAll(dir_ / "records_outbox.jsonl").find("passed"), std::string::npos);

    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    auto second = run.NextRecord(120s);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)["result"], "passed") << (*second)["status"];
    EXPECT_EQ((*second)["mac"], "00:11:22:AA:00:01");
    EXPECT_EQ(run.Wait(30s), 0);

    const std::vector<nlohmann::json> records = Records(url_);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["result"], "passed");  // delivered from the outbox
    EXPECT_EQ(records[1]["result"], "passed");
}

}  // namespace
}  // namespace kestrow::e2e
