// Today's counters beside the list: what the store says, and its problem told
// once when it cannot be read and cleared once it can again.
#include "window_fixture.h"

#include "kestrow/app/today_panel.h"
#include "kestrow/records/record_store.h"

#include <filesystem>

namespace kestrow::app::testing {
namespace {

class TodayPanelTest : public WindowFixture {};

TEST_F(TodayPanelTest, CountsAndTheStoresProblemToldOnceEachWay) {
    const std::filesystem::path later = dir_ / "later";  // the store's folder, not there yet
    auto store = records::RecordStore::Open(records::ResolveRecordsLocation(dir_.string(), (later / "r.db").string()),
                                            {"line-1", "host"});
    std::vector<std::string> told;
    TodayPanel panel(*store, [&told](const std::string& problem) { told.push_back(problem); });
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("cannot be reached"), std::string::npos) << told[0];
    EXPECT_TRUE(panel.text().endsWith(" (store unreachable)")) << panel.text().toStdString();
    panel.Refresh();
    EXPECT_EQ(told.size(), 1u);  // not again while it stays so

    std::filesystem::create_directories(later);
    records::BurnStart start;
    start.port = "/dev/pts/1";
    start.channel = 1;
    auto id = store->BeginRecord(start);
    ASSERT_TRUE(id) << id.error().message;
    ASSERT_TRUE(store->FinishRecord(*id, {records::BurnResult::Passed, 30, "Completion", 1, 1.0, 0}));
    panel.Refresh();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1], "");
    EXPECT_TRUE(panel.text().startsWith("Today: 1 passed, 0 failed, yield 100.0 %")) << panel.text().toStdString();
}

}  // namespace
}  // namespace kestrow::app::testing
