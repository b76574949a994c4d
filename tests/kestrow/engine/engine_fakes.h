#pragma once
// Test doubles for the engine: a board link whose results are scripted per
// call and which records every call, a window that records what it is asked
// to do, and a station folder of its own per test.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/channel_log.h"
#include "kestrow/engine/port_search.h"
#include "kestrow/engine/station_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace kestrow::engine::testing {

struct LinkCall {
    explicit LinkCall(std::string n, unsigned ch = 0, std::string t = "", std::vector<unsigned> v = {})
        : name(std::move(n)), channel(ch), text(std::move(t)), values(std::move(v)) {}
    std::string name;
    unsigned channel = 0;
    std::string text;              // port or path
    std::vector<unsigned> values;  // further arguments
    DownloadBin bin;
    std::vector<RamReg> regs;
    config::SpiNorInfo nor{};
    config::SpiNandInfo nand{};
    BurnedParam burned;
    ModeControl mode;
};

class FakeLink : public BoardLink {
public:
    // Result of the named call (default 1, or for AttachUart the channel of its slot).
    void SetResult(const std::string& name, unsigned result) {
        std::lock_guard lock(mutex_);
        results_[name] = result;
    }
    // Result of the named call on one channel only (a channel number, or for the
    // port calls without a channel, 0).
    void SetResultFor(const std::string& name, unsigned channel, unsigned result) {
        std::lock_guard lock(mutex_);
        results_[name + "#" + std::to_string(channel)] = result;
    }
    // Runs before the named call returns, on the calling thread.
    void OnCall(const std::string& name, std::function<void(unsigned channel)> hook) {
        std::lock_guard lock(mutex_);
        hooks_[name] = std::move(hook);
    }
    unsigned flash_id = 0xEF4018;
    unsigned chip_count = 1;
    unsigned attach_channel = 0;  // AttachUart's result when not 0

    std::vector<LinkCall> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<LinkCall> CallsNamed(const std::string& name) const {
        std::vector<LinkCall> out;
        for (const LinkCall& c : Calls())
            if (c.name == name) out.push_back(c);
        return out;
    }
    std::vector<std::string> Names(unsigned channel = 0) const {
        std::vector<std::string> out;
        for (const LinkCall& c : Calls())
            if (channel == 0 || c.channel == channel) out.push_back(c.name);
        return out;
    }

    unsigned Init(unsigned channels, BurnEntry, ProgressEntry) override { return Record(LinkCall{"Init", 0, "", {channels}}); }
    unsigned StartChannel(unsigned ch) override { return Record(LinkCall{"StartChannel", ch}); }
    unsigned SetCorvelParam(unsigned ch, const CorvelParam& p) override {
        return Record(LinkCall{"SetCorvelParam", ch, "", {p.event_time, p.platform_type, p.chip_type}});
    }
    unsigned SecureBootFlag(unsigned flag) override { return Record(LinkCall{"SecureBootFlag", 0, "", {flag}}); }
    unsigned StartRead(const std::string& port, unsigned index, unsigned chip) override {
        return Record(LinkCall{"StartRead", 0, port, {index, chip}});
    }
    unsigned DownloadRam(unsigned ch, const std::string& path, unsigned address) override {
        return Record(LinkCall{"DownloadRam", ch, path, {address}});
    }
    unsigned CheckSecureEn(unsigned index) override { return Record(LinkCall{"CheckSecureEn", 0, "", {index}}); }
    unsigned ChooseBaud(const std::string& port, unsigned index, unsigned baud) override {
        return Record(LinkCall{"ChooseBaud", 0, port, {index, baud}});
    }
    unsigned AttachUart(const std::string& port, unsigned baud, unsigned index) override {
        return Record(LinkCall{"AttachUart", 0, port, {baud, index}});
    }
    unsigned DetachUart(const std::string& port) override { return Record(LinkCall{"DetachUart", 0, port}); }
    // What PortError answers for a slot (kLookAtPort for the look); usable when not set.
    void SetPortError(unsigned index, PortCondition condition) {
        std::lock_guard lock(mutex_);
        port_errors_[index] = std::move(condition);
    }
    PortCondition PortError(const std::string& port, unsigned index) override {
        Record(LinkCall{"PortError", 0, port, {index}});
        std::lock_guard lock(mutex_);
        auto it = port_errors_.find(index);
        return it == port_errors_.end() ? PortCondition{} : it->second;
    }
    unsigned Download1kData(unsigned ch, const std::string& path, unsigned magic) override {
        return Record(LinkCall{"Download1kData", ch, path, {magic}});
    }
    unsigned SetRamParam(unsigned ch, std::span<const RamReg> regs) override {
        LinkCall c{"SetRamParam", ch};
        c.regs.assign(regs.begin(), regs.end());
        return Record(c);
    }
    unsigned SetRamParamNoCommit(unsigned ch, std::span<const RamReg> regs) override {
        LinkCall c{"SetRamParamNoCommit", ch};
        c.regs.assign(regs.begin(), regs.end());
        return Record(c);
    }
    unsigned DownloadProducer(unsigned ch, const std::string& path, unsigned address) override {
        return Record(LinkCall{"DownloadProducer", ch, path, {address}});
    }
    unsigned ChangeCom(const std::string& port, unsigned ch, unsigned baud) override {
        return Record(LinkCall{"ChangeCom", ch, port, {baud}});
    }
    unsigned TestConnection(unsigned ch) override { return Record(LinkCall{"TestConnection", ch}); }
    unsigned SetBurnedParam(unsigned ch, const BurnedParam& p) override {
        LinkCall c{"SetBurnedParam", ch};
        c.burned = p;
        return Record(c);
    }
    unsigned SetMode(unsigned ch, ModeControl mode) override {
        LinkCall c{"SetMode", ch};
        c.mode = mode;
        return Record(c);
    }
    unsigned GetFlashId(unsigned ch, unsigned p1, unsigned p2, unsigned& id, unsigned& count) override {
        id = flash_id;
        count = chip_count;
        return Record(LinkCall{"GetFlashId", ch, "", {p1, p2}});
    }
    unsigned SetSpiParam(unsigned ch, const config::SpiNorInfo& info) override {
        LinkCall c{"SetSpiParam", ch};
        c.nor = info;
        return Record(c);
    }
    unsigned SetNandParam(unsigned ch, const config::SpiNandInfo& info) override {
        LinkCall c{"SetNandParam", ch};
        c.nand = info;
        return Record(c);
    }
    unsigned SetExParameter(unsigned ch, unsigned value) override { return Record(LinkCall{"SetExParameter", ch, "", {value}}); }
    unsigned InitSecArea(unsigned ch, unsigned value) override { return Record(LinkCall{"InitSecArea", ch, "", {value}}); }
    unsigned DownloadBoot(unsigned ch, const DownloadBin& bin, unsigned chip) override {
        LinkCall c{"DownloadBoot", ch, bin.path, {chip}};
        c.bin = bin;
        return Record(c);
    }
    unsigned DownloadSpiImage(unsigned ch, const DownloadBin& bin) override {
        LinkCall c{"DownloadSpiImage", ch, bin.path};
        c.bin = bin;
        return Record(c);
    }
    unsigned CloseProducer(unsigned ch) override { return Record(LinkCall{"CloseProducer", ch}); }

private:
    unsigned Record(const LinkCall& call) {
        std::function<void(unsigned)> hook;
        unsigned result;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(call);
            auto it = results_.find(call.name + "#" + std::to_string(call.channel));
            if (it == results_.end()) it = results_.find(call.name);
            const unsigned slotChannel = call.name == "AttachUart" ? call.values[1] + 1 : 1;
            result = it != results_.end() ? it->second : call.name == "AttachUart" && attach_channel != 0 ? attach_channel
                                                                                                            : slotChannel;
            if (auto h = hooks_.find(call.name); h != hooks_.end()) hook = h->second;
        }
        if (hook) hook(call.channel);
        return result;
    }

    mutable std::mutex mutex_;
    std::vector<LinkCall> calls_;
    std::map<std::string, unsigned> results_;
    std::map<std::string, std::function<void(unsigned)>> hooks_;
    std::map<unsigned, PortCondition> port_errors_;
};

// Ports whose survey is scripted, in list order.
class FakePorts : public PortProber {
public:
    FakePorts& Add(std::string name, PortState state = PortState::Usable, std::string alias = "") {
        PortInfo info;
        info.name = std::move(name);
        info.alias = std::move(alias);
        info.condition.state = state;
        ports.push_back(info);
        return *this;
    }
    std::vector<std::string> Candidates() const override {
        std::vector<std::string> names;
        for (const PortInfo& p : ports) names.push_back(p.name);
        return names;
    }
    std::vector<PortInfo> Survey() const override { return ports; }
    // A port not in the list is usable.
    PortInfo Inspect(const std::string& port) const override {
        for (const PortInfo& p : ports)
            if (p.name == port || p.alias == port) return p;
        PortInfo usable;
        usable.name = port;
        return usable;
    }
    std::vector<PortInfo> ports;
};

class RecordingWindow : public StationWindow {
public:
    void Post(const StationEvent& event) override {
        std::lock_guard lock(mutex_);
        posts_.push_back(event);
    }
    void EnableBar(bool enabled) override {
        std::lock_guard lock(mutex_);
        bar_changes_.push_back(enabled);
    }
    void RefreshTitle() override { ++titles; }
    void EndOfRun() override { ++end_of_runs; }
    void ShowCloseButton(bool visible) override { close_button_visible = visible; }
    void ReportPort(const std::string& port, const std::string& problem) override {
        std::lock_guard lock(mutex_);
        port_reports_.push_back({port, problem});
    }
    // Every port report, in order: {port, problem} ("" once it opens again).
    std::vector<std::pair<std::string, std::string>> PortReports() const {
        std::lock_guard lock(mutex_);
        return port_reports_;
    }

    // Status codes posted for `channel` (all channels for 0), in order.
    std::vector<unsigned> Statuses(unsigned channel = 0) const {
        std::lock_guard lock(mutex_);
        std::vector<unsigned> out;
        for (const StationEvent& p : posts_)
            if (p.kind == EventKind::Status && (channel == 0 || p.channel == channel)) out.push_back(p.value);
        return out;
    }
    std::vector<StationEvent> TakePosts() {
        std::lock_guard lock(mutex_);
        return std::exchange(posts_, {});
    }
    std::vector<StationEvent> Posts() const {
        std::lock_guard lock(mutex_);
        return posts_;
    }
    std::vector<bool> BarChanges() const {
        std::lock_guard lock(mutex_);
        return bar_changes_;
    }

    std::atomic<int> titles{0};
    std::atomic<int> end_of_runs{0};
    std::atomic<bool> close_button_visible{true};

private:
    mutable std::mutex mutex_;
    std::vector<StationEvent> posts_;
    std::vector<bool> bar_changes_;
    std::vector<std::pair<std::string, std::string>> port_reports_;
};

// A fresh station folder per test, made the station folder of the process.
class StationFolderFixture : public ::testing::Test {
protected:
    StationFolderFixture() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("kw_engine_") + std::to_string(::getpid()) + "_" + info->test_suite_name() +
                           "_" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "log");
        config::UseStationFolder(dir_.string());
        ChannelLog::SetClockForTesting(&FixedNow);
    }
    ~StationFolderFixture() override {
        ChannelLog::SetClockForTesting(nullptr);
        std::filesystem::remove_all(dir_);
    }

    // 2026-03-14 09:26:53, the clock of every log line in these tests.
    static std::tm FixedNow() {
        std::tm t{};
        t.tm_year = 2026 - 1900;
        t.tm_mon = 2;
        t.tm_mday = 14;
        t.tm_hour = 9;
        t.tm_min = 26;
        t.tm_sec = 53;
        return t;
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    void WriteFile(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories((dir_ / name).parent_path());
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    std::string ReadFile(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string ChannelLogText(unsigned channel) const { return ReadFile(ChannelLogName(channel, FixedNow())); }

    std::filesystem::path dir_;
};

}  // namespace kestrow::engine::testing
