// One station burning on many channels: every channel's thread calls the same
// store object at once. No address twice, every record whole.
#include "tests/kestrow/records/store_fixture.h"

#include <set>
#include <thread>

namespace kestrow::records::testing {
namespace {

class StoreThreads : public StoreFixture {};

INSTANTIATE_TEST_SUITE_P(Backends, StoreThreads, ::testing::Values(Backend::Sqlite, Backend::Postgres), BackendName);

TEST_P(StoreThreads, ChannelsBurningAtOnceShareOneStore) {
    constexpr unsigned kChannels = 4;
    constexpr unsigned kBoardsEach = 4;
    std::unique_ptr<RecordStore> store = Open();
    UseTestPools(*store);  // 16 MAC addresses: exactly enough
    std::vector<std::vector<std::string>> macs(kChannels);
    std::vector<std::string> failures(kChannels);
    std::vector<std::thread> channels;
    for (unsigned ch = 0; ch < kChannels; ++ch)
        channels.emplace_back([&, ch] {
            for (unsigned b = 0; b < kBoardsEach; ++b) {
                StoreResult<RecordId> id = store->BeginRecord(TestStart("/dev/pts/" + std::to_string(ch), ch + 1));
                StoreResult<Identity> got = id ? store->AllocateIdentity(*id, PoolSet::All())
                                               : StoreResult<Identity>(id.error());
                if (!got) {
                    failures[ch] = got.error().message;
                    return;
                }
                macs[ch].push_back(got->mac);
                StoreResult<Delivery> done = store->FinishRecord(*id, TestEnd(BurnResult::Passed, 105, "Completion"));
                if (!done || *done != Delivery::Stored) failures[ch] = done ? "kept locally" : done.error().message;
            }
        });
    for (std::thread& t : channels) t.join();
    for (const std::string& f : failures) EXPECT_EQ(f, "");
    std::set<std::string> distinct;
    for (const auto& list : macs) distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), kChannels * kBoardsEach);
    StoreResult<std::vector<BurnRecord>> records = store->Records({.result = BurnResult::Passed});
    ASSERT_TRUE(records);
    EXPECT_EQ(records->size(), kChannels * kBoardsEach);
    for (const BurnRecord& r : *records) EXPECT_EQ(distinct.count(r.identity.mac), 1u) << r.id;
    // The seventeenth board finds the pool used up.
    EXPECT_EQ(store->AllocateIdentity(std::nullopt, PoolSet::All()).error().kind, StoreErrorKind::PoolUsedUp);
}

}  // namespace
}  // namespace kestrow::records::testing
