// The library frame: initialisation, worker threads, the start signal, progress.
#include "corvel/core/library.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

using namespace corvel;

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::multiset<unsigned> g_burned;                       // nIDs whose burn entry ran
std::vector<std::pair<unsigned, unsigned>> g_progress;  // (nID, total) reports

int RecordBurn(unsigned nID) {
    // A burn that moves some bytes, so the count's reset can be seen next time.
    KW_DownloadImg_length(nID, 100);
    std::lock_guard lock(g_mutex);
    g_burned.insert(nID);
    g_changed.notify_all();
    return 1;
}
void RecordProgress(unsigned nID, unsigned total) {
    std::lock_guard lock(g_mutex);
    g_progress.emplace_back(nID, total);
}

KW_HANDLE FakeDevice() { return reinterpret_cast<KW_HANDLE>(uintptr_t{0x1000}); }

class Frame : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(KW_Init(8, RecordBurn, RecordProgress), 1u);
        std::lock_guard lock(g_mutex);
        g_burned.clear();
        g_progress.clear();
    }
    bool WaitForBurns(size_t n) {
        std::unique_lock lock(g_mutex);
        return g_changed.wait_for(lock, std::chrono::seconds(5), [&] { return g_burned.size() >= n; });
    }
    // Waits until the worker of `nID` is idle again after its burn.
    static bool WaitIdle(unsigned nID) {
        for (int i = 0; i < 500; ++i) {
            BurnObject& ch = Lib().channels[nID - 1];
            if (ch.state.load() == kIdle && !IsValidHandle(ch.hDevice.load())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    static void Attach(unsigned nID) {
        BurnObject& ch = Lib().channels[nID - 1];
        ch.hDevice = FakeDevice();
        ch.state = kAttached;
    }
};

TEST_F(Frame, InitRefusesBadArgumentsAndChangesNothing) {
    struct Case {
        unsigned count;
        KW_BURN_ENTRY entry;
        KW_PROGRESS progress;
    } bad[] = {{0, RecordBurn, RecordProgress}, {33, RecordBurn, RecordProgress},
               {4, nullptr, RecordProgress},   {4, RecordBurn, nullptr}};
    for (const Case& c : bad) {
        EXPECT_EQ(KW_Init(c.count, c.entry, c.progress), 0u) << c.count;
        EXPECT_EQ(Lib().count.load(), 8u);
    }
    EXPECT_EQ(KW_Init(32, RecordBurn, RecordProgress), 1u);
    EXPECT_EQ(Lib().count.load(), 32u);
}

TEST_F(Frame, SecondInitReusesChannelsAndOnlyAddsTheMissingOnes) {
    unsigned before = Lib().initialised;
    ASSERT_GE(before, 8u);
    EXPECT_EQ(KW_Init(2, RecordBurn, RecordProgress), 1u);
    EXPECT_EQ(Lib().count.load(), 2u);
    EXPECT_EQ(Lib().initialised, before);
    if (before + 2 <= KW_MAX_CHANNELS) {
        EXPECT_EQ(KW_Init(before + 2, RecordBurn, RecordProgress), 1u);
        EXPECT_EQ(Lib().initialised, before + 2);
        EXPECT_EQ(Lib().channels[before + 1].nID.load(), before + 2);
    }
    // A channel above the count is out of reach.
    EXPECT_EQ(KW_Init(2, RecordBurn, RecordProgress), 1u);
    EXPECT_EQ(KW_WaitUSBAttach(3), 0u);
}

TEST_F(Frame, StartRunsOnlyTheAttachedChannels) {
    EXPECT_EQ(KW_Start(), 0u);
    for (unsigned nID : {2u, 5u, 8u}) Attach(nID);
    EXPECT_EQ(KW_Start(), 3u);
    ASSERT_TRUE(WaitForBurns(3));
    for (unsigned nID : {2u, 5u, 8u}) EXPECT_TRUE(WaitIdle(nID)) << nID;
    std::lock_guard lock(g_mutex);
    EXPECT_EQ(g_burned, (std::multiset<unsigned>{2, 5, 8}));
}

// A station watching several ports starts each board's channel alone: the
// others may be attached for watching only.
TEST_F(Frame, StartChannelWakesThatChannelAlone) {
    for (unsigned nID : {2u, 5u}) Attach(nID);
    EXPECT_EQ(KW_Start_Channel(5), 1u);
    EXPECT_EQ(KW_Start_Channel(5), 0u);  // started already
    ASSERT_TRUE(WaitForBurns(1));
    ASSERT_TRUE(WaitIdle(5));
    {
        std::lock_guard lock(g_mutex);
        EXPECT_EQ(g_burned, (std::multiset<unsigned>{5}));
    }
    EXPECT_EQ(Lib().channels[1].state.load(), kAttached);
    EXPECT_EQ(KW_Start_Channel(0), 0u);
    EXPECT_EQ(KW_Start_Channel(9), 0u);  // beyond the 8 channels of this test
    EXPECT_EQ(KW_Start_Channel(2), 1u);
    ASSERT_TRUE(WaitForBurns(2));
    ASSERT_TRUE(WaitIdle(2));
}

TEST_F(Frame, ProgressIsCumulativeWithinABurnAndRestartsWithTheNext) {
    for (int burn = 0; burn < 2; ++burn) {
        Attach(4);
        ASSERT_EQ(KW_Start(), 1u);
        ASSERT_TRUE(WaitForBurns(static_cast<size_t>(burn) + 1));
        ASSERT_TRUE(WaitIdle(4));
        EXPECT_EQ(Lib().channels[3].dl_length.load(), 0u);
    }
    std::lock_guard lock(g_mutex);
    // Each burn reports 100 from zero, not 200 on top of the last.
    EXPECT_EQ(g_progress, (std::vector<std::pair<unsigned, unsigned>>{{4, 100}, {4, 100}}));
}

// A second KW_Start before the worker has woken finds the channel already
// claimed: one burn, not a second one after it. (The worker often wakes first;
// the race is run a number of times.)
TEST_F(Frame, StartTwiceBeforeTheWorkerWakesRunsOneBurn) {
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        Attach(6);
        ASSERT_EQ(KW_Start(), 1u);
        EXPECT_EQ(KW_Start(), 0u) << "round " << round;
        ASSERT_TRUE(WaitForBurns(static_cast<size_t>(round) + 1));
        ASSERT_TRUE(WaitIdle(6));
    }
    EXPECT_EQ(KW_Start(), 0u);  // idle, nothing attached
    std::lock_guard lock(g_mutex);
    EXPECT_EQ(g_burned.count(6), static_cast<size_t>(kRounds));
}

// A caller may free the callbacks of an earlier KW_Init (a ctypes trampoline):
// every successful call takes the ones it is given.
std::atomic<unsigned> g_otherBurns{0};
int OtherBurn(unsigned) {
    ++g_otherBurns;
    return 1;
}
void OtherProgress(unsigned, unsigned) {}

TEST_F(Frame, EverySuccessfulInitTakesItsCallbacks) {
    ASSERT_EQ(KW_Init(8, OtherBurn, OtherProgress), 1u);
    Attach(3);
    ASSERT_EQ(KW_Start(), 1u);
    ASSERT_TRUE(WaitIdle(3));
    EXPECT_EQ(g_otherBurns.load(), 1u);
    EXPECT_EQ(KW_Init(8, RecordBurn, RecordProgress), 1u);
    std::lock_guard lock(g_mutex);
    EXPECT_TRUE(g_burned.empty()) << "the first call's burn entry ran";
}

TEST_F(Frame, StartClearsTheRecordedRamTable) {
    Lib().ramTableRecorded = true;
    KW_Start();
    EXPECT_FALSE(Lib().ramTableRecorded.load());
}

TEST(FrameSettings, VersionNeedsAllThreeOutputs) {
    unsigned a = 9, b = 9, c = 9;
    KW_GetVersion(&a, nullptr, &c);
    EXPECT_EQ(a + c, 18u);
    KW_GetVersion(&a, &b, &c);
    EXPECT_EQ(std::vector<unsigned>({a, b, c}), std::vector<unsigned>({5, 1, 20}));
}

TEST(FrameSettings, CorvelParamSetsChipAndDownloadPhase) {
    EXPECT_EQ(KW_SetCorvelParam(0, nullptr), 0u);
    KW_SetEventParam(12);
    struct Case {
        T_CORVEL_PARA para;
        unsigned phase;
        unsigned wait;
    } cases[] = {{{0, 1, 4}, kSerialisationOver, 12},
                 {{0, 2, 0}, kSerialisationOver, 12},
                 {{7, 2, 9}, kSerialised, 7}};
    for (Case& c : cases) {
        EXPECT_EQ(KW_SetCorvelParam(0, &c.para), 1u);
        EXPECT_EQ(Lib().downloadPhase.load(), c.phase);
        EXPECT_EQ(Lib().chipType.load(), c.para.chip_type);
        EXPECT_EQ(Lib().platformType.load(), c.para.platform_type);
        EXPECT_EQ(Lib().attachWaitSeconds.load(), c.wait);
    }
    KW_SetEventParam(0);
    EXPECT_EQ(Lib().attachWaitSeconds.load(), 7u);
}

TEST(FrameSettings, SecureBootFlagIsStoredThoughTheCallReturnsZero) {
    EXPECT_EQ(KW_Secuse_boot_flag(2), 0u);
    EXPECT_EQ(Lib().secureBoot.load(), 2u);
    EXPECT_EQ(KW_Secuse_boot_flag(0), 0u);
    EXPECT_EQ(Lib().secureBoot.load(), 0u);
}

}  // namespace
