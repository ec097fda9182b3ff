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
    // 02:30 on 25 October 2026 in Berlin: 00:30 UTC in summer time, then
    // 01:30 UTC in winter time, in hundredths of a second.
    constexpr Instant earlier = 179'288'820'000, later = 179'289'180'000, hour = 360'000;
    const BackupStamp whole{2026102502300000, true};
    const std::vector<Instant> one{earlier}, two{earlier, later}, none{};
    struct Row {
        std::vector<Instant> instants;
        Instant changed, made;
        const char* reason;
    };
    const std::vector<Row> rows{
        {two, 0, earlier, "a change time in 1970"},
        {two, earlier - hour, earlier, "changed before the earlier instant (a clock set back by hand)"},
        {two, earlier, earlier, "changed at the earlier instant"},
        {two, earlier + hour / 2, earlier, "changed between the two"},
        {two, later - 1, earlier, "changed a hundredth before the later instant"},
        {two, later, later, "changed exactly at the later instant"},
        {two, later + 1, later, "changed a hundredth after"},
        {two, later + hour * 24 * 200, later, "changed far later (chmod -R, cp -a, rsync -a)"},
        {one, earlier - hour, earlier, "a local time that came once, changed before it"},
        {one, later + hour * 24 * 200, earlier, "a local time that came once, changed far later"},
    };
    for (const Row& row : rows) EXPECT_EQ(made_at(whole, row.instants, row.changed), row.made) << row.reason;
    EXPECT_EQ(made_at({20261025, false}, none, 9), 9) << "one part only: the change time";
    EXPECT_EQ(made_at({20261025, false}, none, later + hour), later + hour) << "one part only: the change time";
    EXPECT_EQ(began_at(whole, one), earlier);
    EXPECT_EQ(began_at(whole, two), earlier) << "the hour that repeats: the earlier instant";
    EXPECT_EQ(began_at({20261025, false}, none), 0) << "one part only: not known";
}

std::vector<BackupEntry> entries(const std::vector<std::pair<std::string, Instant>>& made) {
    std::vector<BackupEntry> all;
    all.reserve(made.size());
    for (const auto& [path, at] : made) all.push_back({path, at, false, 0, {}});
    return all;
}

std::vector<std::string> paths(const std::vector<BackupEntry>& all) {
    std::vector<std::string> names;
    names.reserve(all.size());
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
