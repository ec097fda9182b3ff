// A file's history without a file system: whose names count, when each
// backup was made, their order, and which --at and --keep choose.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "history/policy.h"

namespace {

TEST(HistoryPolicy, WhoseNamesCount) {
    struct Row {
        UserId owner, runner;
        std::optional<UserId> file_owner;
        bool counts;
        const char* reason;
    };
    const std::vector<Row> rows{
        {1000, 1000, 1000, true, "the runner's own"},
        {0, 1000, 1000, true, "root's"},
        {1000, 0, 1000, true, "the file owner's, restored by root"},
        {1001, 1000, 1000, false, "another user's, in a shared folder"},
        {1001, 0, 0, false, "another user's, run by root on a file of root's"},
        {1001, 1000, std::nullopt, false, "another user's, the file gone"},
        {1001, 1000, 1001, true, "the owner of the file the runner backs up"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(owner_counts(row.owner, row.runner, row.file_owner), row.counts) << row.reason;
    }
}

TEST(HistoryPolicy, StampFields) {
    const mivo_systemtime t = stamp_fields(2026120803043522);
    EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds}),
              std::vector<int>({2026, 12, 8, 3, 4, 35, 220}));
}

TEST(HistoryPolicy, WhenABackupWasMade) {
    const BackupStamp whole{2026102502200000, true};
    const std::vector<Instant> one{500}, two{500, 360500}, none{};
    EXPECT_EQ(made_at(whole, one, 9), 500) << "a local time that came once";
    EXPECT_EQ(made_at(whole, two, 9), 9) << "the hour that repeats: the change time";
    EXPECT_EQ(made_at({20261025, false}, none, 9), 9) << "one part only: the change time";
    EXPECT_EQ(began_at(whole, one), 500);
    EXPECT_EQ(began_at(whole, two), 500) << "the hour that repeats: the earlier instant";
    EXPECT_EQ(began_at({20261025, false}, none), 0) << "one part only: not known";
}

std::vector<BackupEntry> entries(const std::vector<std::pair<std::string, Instant>>& made) {
    std::vector<BackupEntry> all;
    for (const auto& [path, at] : made) all.push_back({path, at, false, 0, {}});
    return all;
}

std::vector<std::string> paths(const std::vector<BackupEntry>& all) {
    std::vector<std::string> names;
    for (const BackupEntry& entry : all) names.push_back(entry.path);
    return names;
}

TEST(HistoryPolicy, NewestFirstThenTheGreaterName) {
    std::vector<BackupEntry> all = entries({{"a", 3}, {"c", 1}, {"b", 3}, {"d", 2}});
    sort_newest_first(all);
    EXPECT_EQ(paths(all), (std::vector<std::string>{"b", "a", "d", "c"}));
}

TEST(HistoryPolicy, TheNewestMadeBy) {
    const std::vector<BackupEntry> all = entries({{"c", 30}, {"b", 20}, {"a", 10}});
    EXPECT_EQ(newest_made_by(all, 30), 0U);
    EXPECT_EQ(newest_made_by(all, 29), 1U);
    EXPECT_EQ(newest_made_by(all, 10), 2U);
    EXPECT_EQ(newest_made_by(all, 9), std::nullopt);
}

}  // namespace
