// kestrow records and kestrow pools against a station folder whose records
// store the test fills through the store itself.
#include "kestrow/records/record_store.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace kestrow::records::cli_testing {
namespace {

using config::testing::TempFolder;

struct Ran {
    int status = -1;
    std::string out, err;
};

Ran Kestrow(const TempFolder& station, const std::string& args) {
    const std::string errFile = station.Path("stderr.txt");
    const std::string command =
        std::string("'") + KESTROW_EXE + "' " + args + " --station '" + station.Dir() + "' 2>'" + errFile + "'";
    Ran run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = station.Read("stderr.txt");
    return run;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

constexpr std::uint64_t kMacStart = 0x001122AA0000ULL;       // 00:11:22:AA:00:00
constexpr std::int64_t kMay1At10 = 1714557600LL * 1000000;  // 2024-05-01T10:00:00Z

std::unique_ptr<RecordStore> StationStore(const TempFolder& station) {
    return OpenStationStore(station.Dir(), "");
}

// Three boards of 2024-05-01: passed, failed, interrupted, with MACs 00, 01, 02.
void BurnThreeBoards(const TempFolder& station) {
    std::unique_ptr<RecordStore> store = StationStore(station);
    ASSERT_TRUE(store->SetPoolRange({PoolKind::Mac, "", kMacStart, kMacStart + 15}));
    ASSERT_TRUE(store->SetPoolEnabled(PoolKind::Mac, true));
    const BurnResult results[] = {BurnResult::Passed, BurnResult::Failed, BurnResult::Interrupted};
    const char* statuses[] = {"Completion", "Failed to erase", ""};
    for (int i = 0; i < 3; ++i) {
        BurnStart start;
        start.port = "/dev/pts/4";
        start.channel = 1;
        start.start_time_us = kMay1At10 + i * 60LL * 1000000;
        start.burn_file = "whole.bin";
        start.burn_file_sha256 = "c0ffee";
        StoreResult<RecordId> id = store->BeginRecord(start);
        ASSERT_TRUE(id) << id.error().message;
        ASSERT_TRUE(store->AllocateIdentity(*id, PoolSet::All()));
        BurnEnd end;
        end.result = results[i];
        end.status = statuses[i];
        end.status_code = i == 1 ? 94 : 105;
        ASSERT_TRUE(store->FinishRecord(*id, end));
    }
}

TEST(RecordsCommand, ListsAsJsonLinesAndCsvWithFilters) {
    TempFolder station;
    BurnThreeBoards(station);
    Ran all = Kestrow(station, "records --json");
    ASSERT_EQ(all.status, 0) << all.err;
    std::vector<std::string> lines = Lines(all.out);
    ASSERT_EQ(lines.size(), 3u) << all.out;
    nlohmann::json second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(second["time"], "2024-05-01T10:01:00.000Z");
    EXPECT_EQ(second["station"], std::filesystem::path(station.Dir()).filename().string());
    EXPECT_EQ(second["mac"], "00:11:22:AA:00:01");
    EXPECT_EQ(second["result"], "failed");
    EXPECT_EQ(second["status"], "Failed to erase");
    EXPECT_EQ(second["status_code"], 94);
    EXPECT_EQ(second["burn_file_sha256"], "c0ffee");
    EXPECT_TRUE(second["serial"].is_null());

    struct Case {
        const char* args;
        std::vector<std::string> macs;  // of the records listed, in order
    };
    const Case cases[] = {
        {"records --json --result failed", {"00:11:22:AA:00:01"}},
        {"records --json --result interrupted", {"00:11:22:AA:00:02"}},
        {"records --json --mac 00:11:22:aa:00:02", {"00:11:22:AA:00:02"}},
        {"records --json --mac 00:11:22:AA:00:0F", {}},
        {"records --json --since 2024-05-01T10:01", {"00:11:22:AA:00:01", "00:11:22:AA:00:02"}},
        {"records --json --since 2024-05-02", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Ran run = Kestrow(station, c.args);
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<std::string> macs;
        for (const std::string& line : Lines(run.out)) macs.push_back(nlohmann::json::parse(line)["mac"]);
        EXPECT_EQ(macs, c.macs);
    }

    Ran csv = Kestrow(station, "records --csv --result passed");
    ASSERT_EQ(csv.status, 0) << csv.err;
    lines = Lines(csv.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 40), "time,station,port,channel,flash_id,resul");
    EXPECT_NE(lines[1].find(",/dev/pts/4,1,0x0,passed,Completion,105,00:11:22:AA:00:00,,,whole.bin,c0ffee,"),
              std::string::npos)
        << lines[1];

    Ran summary = Kestrow(station, "records --summary");
    ASSERT_EQ(summary.status, 0) << summary.err;
    EXPECT_NE(summary.out.find("2024-05-01 10:00          1        1            1    33.3%\n"), std::string::npos)
        << summary.out;
    EXPECT_NE(summary.out.find("       1   94 Failed to erase\n"), std::string::npos) << summary.out;
}

TEST(RecordsCommand, UsageErrorsExitTwoAndSayWhy) {
    TempFolder station;
    struct Case {
        const char* args;
        const char* said;
    };
    const Case cases[] = {
        {"records --result won", "kestrow records: --result must be passed, failed, interrupted or running, not \"won\""},
        {"records --since soon", "kestrow records: --since \"soon\" is no time"},
        {"records --mac 00:11:22", "kestrow records: --mac \"00:11:22\" is no MAC address"},
        {"records --json --csv", "kestrow records: --json, --csv and --summary exclude each other"},
        {"records --colour", "The following argument was not expected: --colour"},
        {"pools --enable mac,wifi",
         "kestrow pools: --enable takes mac, serial and bt separated by commas, or none; not \"wifi\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Ran run = Kestrow(station, c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(RecordsCommand, AStationThatNeverBurnedListsNothingAndMakesNoStore) {
    TempFolder station;
    Ran run = Kestrow(station, "records --json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("there are no records yet: " + station.Path("records.db") + " does not exist"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(station.Path("records.db")));
}

TEST(PoolsCommand, SetsTheRangesShowsWhatWasHandedOutAndResets) {
    TempFolder station;
    const std::string prefix = "SN2024LINE7XXXXXXXXXXXXXXXXXXXXX";
    Ran set = Kestrow(station, "pools --mac-start 00:11:22:aa:00:00 --mac-end 00:11:22:AA:00:0F --serial-prefix " +
                                   prefix + " --serial-start 5 --serial-end 99 --bt-start 44a6e6000000 "
                                            "--bt-end 44A6E600000F --enable mac,bt");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "records store: " + station.Path("records.db") +
                           "\n"
                           "MAC pool (mac): burn on\n"
                           "  range       00:11:22:AA:00:00 .. 00:11:22:AA:00:0F\n"
                           "  next        00:11:22:AA:00:00\n"
                           "  handed out  0, 16 left\n"
                           "serial number pool (serial): burn off\n"
                           "  range       " + prefix + "000005 .. " + prefix + "000099\n"
                           "  next        " + prefix + "000005\n"
                           "  handed out  0, 95 left\n"
                           "Bluetooth pool (bt): burn on\n"
                           "  range       44A6E6000000 .. 44A6E600000F\n"
                           "  next        44A6E6000000\n"
                           "  handed out  0, 16 left\n");

    PoolSet mac;
    mac.mac = true;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(StationStore(station)->AllocateIdentity(std::nullopt, mac));
    Ran shown = Kestrow(station, "pools");
    EXPECT_NE(shown.out.find("  next        00:11:22:AA:00:02\n  handed out  2, 14 left\n"), std::string::npos)
        << shown.out;

    // What the burns wrote into config_addr.txt goes with the reset, or the
    // next start-up would take the pool past it again; serial entries stay.
    station.Write("config_addr.txt", "[config_addr]\nmac_current_low_0_F=Y\nmac_current_low_0_A=AA:00:00\n"
                                     "mac_current_low_1_F=N\nmac_current_low_1_A=AA:00:01\n"
                                     "serial_current_low_0_F=Y\nserial_current_low_0_A=000007\n");
    Ran reset = Kestrow(station, "pools --reset-mac");
    ASSERT_EQ(reset.status, 0) << reset.err;
    EXPECT_EQ(Lines(reset.out)[0],
              "Success!Current MAC address have been reset, current value equals to start value!");
    EXPECT_NE(reset.out.find("  next        00:11:22:AA:00:00\n  handed out  0, 16 left\n"), std::string::npos)
        << reset.out;
    const std::string pool = station.Read("config_addr.txt");
    EXPECT_EQ(pool.find("AA:00:0"), std::string::npos) << pool;
    EXPECT_NE(pool.find("serial_current_low_0_A=000007"), std::string::npos) << pool;
}

TEST(PoolsCommand, ARefusedRangeChangesNothing) {
    TempFolder station;
    ASSERT_EQ(Kestrow(station, "pools --mac-start 00:11:22:AA:00:00 --mac-end 00:11:22:AA:00:0F").status, 0);
    const std::string before = Kestrow(station, "pools").out;
    struct Case {
        const char* args;
        const char* said;
    };
    const Case cases[] = {
        {"--mac-start 01:02:03:AA:00:00 --mac-end 01:02:03:AA:FF:FF",
         "The MAC address is multicast address, please modify it."},
        {"--mac-start 00:11:22:AA:01:00", "The low-order bit of MAC start address is bigger than end address!"},
        {"--mac-end 00:11:23:AA:00:0F --bt-start 44A6E6000000 --bt-end 44A6E600000F",
         "The high-order bit of MAC start address is not the same as end address!"},
        {"--mac-start 00:11:22:AA:00", "Word length of MAC start address low-order bit is less than 8!"},
        {"--serial-prefix SHORT", "Word length of serial number start address high-order bit is less than 32!"},
        {"--serial-start 1234567", "Word length of serial number start address low-order bit is more than 6!"},
        {"--bt-start 44A6E600000", "Bluetooth address length error"},
        {"--bt-start 44A6E6000010 --bt-end 44A6E600000F", "Bluetooth address is bigger than end address"},
        // The default serial range is fine, the default MAC range is multicast: neither is switched on.
        {"--enable serial,mac --mac-start 01:02:03:AA:00:00 --mac-end 01:02:03:AA:00:0F",
         "The MAC address is multicast address, please modify it."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Ran run = Kestrow(station, std::string("pools ") + c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, std::string("kestrow pools: ") + c.said + "\n");
        EXPECT_EQ(Kestrow(station, "pools").out, before);
    }
}

}  // namespace
}  // namespace kestrow::records::cli_testing
