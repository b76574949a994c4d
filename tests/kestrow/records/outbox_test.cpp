// The station's outbox file on its own: what survives a cut-short write, what
// a delivery removes and what it keeps.
#include "kestrow/records/outbox.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kestrow::records {
namespace {

BurnEnd Ended(BurnResult result, const std::string& status) {
    BurnEnd end;
    end.result = result;
    end.status_code = 105;
    end.status = status;
    end.bytes = 4096;
    end.duration_s = 2.5;
    end.flash_id = 0xc84017;
    return end;
}

TEST(Outbox, EntriesReadBackAsWrittenEvenAfterACutShortLine) {
    config::testing::TempFolder folder;
    Outbox outbox(folder.Path("records_outbox.jsonl"));
    std::string error;
    ASSERT_TRUE(outbox.Append("store-a", 7, Ended(BurnResult::Passed, "Completion, \"ok\""), error)) << error;
    // A crash in the middle of the next write leaves half a line...
    folder.Write("records_outbox.jsonl", folder.Read("records_outbox.jsonl") + "{\"store\":\"store-a\",\"rec");
    // ...which must not swallow the entry written after it.
    ASSERT_TRUE(outbox.Append("store-a", 8, Ended(BurnResult::Failed, "Failed to erase"), error)) << error;

    Outbox::Contents contents = outbox.Read();
    ASSERT_EQ(contents.entries.size(), 2u);
    EXPECT_EQ(contents.entries[0].id, 7);
    EXPECT_EQ(contents.entries[0].end.status, "Completion, \"ok\"");
    EXPECT_EQ(contents.entries[0].end.flash_id, 0xc84017u);
    EXPECT_EQ(contents.entries[0].end.duration_s, 2.5);
    EXPECT_EQ(contents.entries[1].id, 8);
    EXPECT_EQ(contents.entries[1].end.result, BurnResult::Failed);
    ASSERT_EQ(contents.unreadable.size(), 1u);
    EXPECT_EQ(contents.unreadable[0], "{\"store\":\"store-a\",\"rec");
    EXPECT_EQ(outbox.Count("store-a"), 2u);
    EXPECT_EQ(outbox.Count("store-b"), 0u);
}

TEST(Outbox, DrainRemovesOnlyWhatWasDelivered) {
    config::testing::TempFolder folder;
    Outbox outbox(folder.Path("records_outbox.jsonl"));
    std::string error;
    for (RecordId id : {1, 2, 3}) ASSERT_TRUE(outbox.Append("store-a", id, Ended(BurnResult::Passed, "Completion"), error));
    ASSERT_TRUE(outbox.Append("store-b", 9, Ended(BurnResult::Passed, "Completion"), error));

    // The store goes away again while the second entry is delivered.
    std::vector<RecordId> seen;
    bool ok = false;
    EXPECT_THROW(outbox.Drain(
                     "store-a",
                     [&seen](const Outbox::Entry& e) {
                         if (e.id == 2) throw std::runtime_error("connection lost");
                         seen.push_back(e.id);
                         return true;
                     },
                     ok, error),
                 std::runtime_error);
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(seen, std::vector<RecordId>{1});
    Outbox::Contents left = outbox.Read();
    ASSERT_EQ(left.entries.size(), 3u);  // 2 and 3 wait, and the other store's entry stays
    EXPECT_EQ(left.entries[0].id, 2);
    EXPECT_EQ(left.entries[1].id, 3);
    EXPECT_EQ(left.entries[2].store, "store-b");

    // One the store refuses (and will refuse again) stays, and does not hold up the others.
    seen.clear();
    auto refuseTwo = [&seen](const Outbox::Entry& e) {
        seen.push_back(e.id);
        return e.id != 2;
    };
    EXPECT_EQ(outbox.Drain("store-a", refuseTwo, ok, error), 1u);
    EXPECT_EQ(seen, (std::vector<RecordId>{2, 3}));
    EXPECT_EQ(outbox.Count("store-a"), 1u);
    EXPECT_EQ(outbox.Count("store-b"), 1u);
    EXPECT_EQ(outbox.Drain("store-a", [](const Outbox::Entry&) { return true; }, ok, error), 1u);
    EXPECT_EQ(outbox.Drain("store-b", [](const Outbox::Entry&) { return true; }, ok, error), 1u);
    EXPECT_FALSE(std::filesystem::exists(outbox.Path()));  // nothing left: no file
}

}  // namespace
}  // namespace kestrow::records
