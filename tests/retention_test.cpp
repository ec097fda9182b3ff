// Calendar retention over hand-made histories: each row lists by hand the
// backups that stay and why.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/policy.h"
#include "history/retention.h"

namespace {

// Stamps as "YYYYMMDD.hhmm", newest first. "+HH" after one is the zone's
// offset from UTC when it was made (Berlin's +01 in winter, +02 in summer);
// without it the stamp is in UTC.
using Stamps = std::vector<std::string_view>;

// Two years with busy days, quiet weeks and whole months without a backup
// (2026-02 to 06, 2026-08, 09, 11, 2027-02, 03, 05, 07, 09, 10).
const Stamps two_years{
    "20271208.1305", "20271208.0930", "20271208.0910", "20271207.2350", "20271207.0800", "20271206.1305",
    "20271205.1800", "20271129.1000", "20271115.1000", "20270831.2300", "20270801.0900", "20270615.1200",
    "20270402.0800", "20270104.0900", "20270101.1000", "20261231.2000", "20261228.0800", "20261227.1200",
    "20261015.1200", "20260701.0900", "20260131.2300", "20260115.0900", "20260101.0000"};

struct Row {
    const char* what;
    Stamps stamps;
    Retention rules;
    std::optional<std::size_t> spared;
    std::vector<std::string> kept;  // "STAMP (reasons)", newest first
};

// The instant a stamp was made, in hundredths of a second since 1970.
Instant instant_of(std::string_view stamp) {
    const auto number = [&](std::size_t at, std::size_t length) {
        return std::stoi(std::string(stamp.substr(at, length)));
    };
    const std::chrono::sys_days day{std::chrono::year{number(0, 4)} / number(4, 2) / number(6, 2)};
    const int offset = stamp.size() > 13 ? number(14, 2) : 0;
    return ((day.time_since_epoch().count() * 24 + number(9, 2) - offset) * 60 + number(11, 2)) * 6000;
}

std::vector<std::string> survivors(const Row& row) {
    std::vector<BackupEntry> backups;
    for (const std::string_view stamp : row.stamps) {
        const std::string digits = std::string(stamp.substr(0, 8)) + std::string(stamp.substr(9, 4)) + "0000";
        backups.push_back({std::string(stamp), instant_of(stamp), false, 0, stamp_fields(std::stoull(digits))});
    }
    const std::vector<Kept> verdicts = apply_retention(row.rules, backups, row.spared);
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        if (verdicts[i].kept()) kept.push_back(std::string(row.stamps[i]) + " " + reasons_text(verdicts[i]));
    }
    return kept;
}

void check(const std::vector<Row>& rows) {
    for (const Row& row : rows) EXPECT_EQ(survivors(row), row.kept) << row.what;
}

TEST(Retention, EachRuleAlone) {
    check({
        {"last 3", two_years, {.last = 3}, {},
         {"20271208.1305 (last 1)", "20271208.0930 (last 2)", "20271208.0910 (last 3)"}},
        {"hourly 3: two in the 09 hour", two_years, {.hourly = 3}, {},
         {"20271208.1305 (hourly 1)", "20271208.0930 (hourly 2)", "20271207.2350 (hourly 3)"}},
        {"daily 3", two_years, {.daily = 3}, {},
         {"20271208.1305 (daily 1)", "20271207.2350 (daily 2)", "20271206.1305 (daily 3)"}},
        {"weekly 10: Monday 6 December starts a week; week 53 of 2026 ends on 3 January", two_years, {.weekly = 10}, {},
         {"20271208.1305 (weekly 1)", "20271205.1800 (weekly 2)", "20271115.1000 (weekly 3)",
          "20270831.2300 (weekly 4)", "20270801.0900 (weekly 5)", "20270615.1200 (weekly 6)",
          "20270402.0800 (weekly 7)", "20270104.0900 (weekly 8)", "20270101.1000 (weekly 9)",
          "20261227.1200 (weekly 10)"}},
        {"monthly 4: September, October and July hold none", two_years, {.monthly = 4}, {},
         {"20271208.1305 (monthly 1)", "20271129.1000 (monthly 2)", "20270831.2300 (monthly 3)",
          "20270615.1200 (monthly 4)"}},
        {"monthly 20: ten months found, the oldest stays too", two_years, {.monthly = 20}, {},
         {"20271208.1305 (monthly 1)", "20271129.1000 (monthly 2)", "20270831.2300 (monthly 3)",
          "20270615.1200 (monthly 4)", "20270402.0800 (monthly 5)", "20270104.0900 (monthly 6)",
          "20261231.2000 (monthly 7)", "20261015.1200 (monthly 8)", "20260701.0900 (monthly 9)",
          "20260131.2300 (monthly 10)", "20260101.0000 (monthly 10)"}},
        {"yearly 1", two_years, {.yearly = 1}, {}, {"20271208.1305 (yearly 1)"}},
        {"yearly 3: two years found, the oldest stays too", two_years, {.yearly = 3}, {},
         {"20271208.1305 (yearly 1)", "20261231.2000 (yearly 2)", "20260101.0000 (yearly 2)"}},
    });
}

TEST(Retention, WithinEachUnit) {
    const auto within = [](std::uint32_t count, char unit) { return Retention{.within = Duration{count, unit}}; };
    // Berlin's clocks skip 02:00 to 03:00 on 29 March 2026 and go back from
    // 03:00 to 02:00 on 25 October: hours are counted as they pass.
    const Stamps spring{"20260329.1200+02", "20260329.0330+02", "20260329.0130+01", "20260328.1300+01",
                        "20260328.1230+01", "20260328.1200+01", "20260328.1130+01"};
    const Stamps autumn{"20261025.1200+01", "20261025.0220+01", "20261025.0240+02", "20261024.1430+02",
                        "20261024.1400+02", "20261024.1350+02", "20261024.1250+02"};
    check({
        {"12h: after 8 December 01:05", two_years, within(12, 'h'), {},
         {"20271208.1305 (within 12h)", "20271208.0930 (within 12h)", "20271208.0910 (within 12h)"}},
        {"36h: after 7 December 01:05", two_years, within(36, 'h'), {},
         {"20271208.1305 (within 36h)", "20271208.0930 (within 36h)", "20271208.0910 (within 36h)",
          "20271207.2350 (within 36h)", "20271207.0800 (within 36h)"}},
        {"2d: 6 December 13:05 itself is not later", two_years, within(2, 'd'), {},
         {"20271208.1305 (within 2d)", "20271208.0930 (within 2d)", "20271208.0910 (within 2d)",
          "20271207.2350 (within 2d)", "20271207.0800 (within 2d)"}},
        {"1w: after 1 December 13:05", two_years, within(1, 'w'), {},
         {"20271208.1305 (within 1w)", "20271208.0930 (within 1w)", "20271208.0910 (within 1w)",
          "20271207.2350 (within 1w)", "20271207.0800 (within 1w)", "20271206.1305 (within 1w)",
          "20271205.1800 (within 1w)"}},
        {"1m: after 8 November 13:05", two_years, within(1, 'm'), {},
         {"20271208.1305 (within 1m)", "20271208.0930 (within 1m)", "20271208.0910 (within 1m)",
          "20271207.2350 (within 1m)", "20271207.0800 (within 1m)", "20271206.1305 (within 1m)",
          "20271205.1800 (within 1m)", "20271129.1000 (within 1m)", "20271115.1000 (within 1m)"}},
        {"23m: after 8 January 2026 13:05", two_years, within(23, 'm'), {},
         {"20271208.1305 (within 23m)", "20271208.0930 (within 23m)", "20271208.0910 (within 23m)",
          "20271207.2350 (within 23m)", "20271207.0800 (within 23m)", "20271206.1305 (within 23m)",
          "20271205.1800 (within 23m)", "20271129.1000 (within 23m)", "20271115.1000 (within 23m)",
          "20270831.2300 (within 23m)", "20270801.0900 (within 23m)", "20270615.1200 (within 23m)",
          "20270402.0800 (within 23m)", "20270104.0900 (within 23m)", "20270101.1000 (within 23m)",
          "20261231.2000 (within 23m)", "20261228.0800 (within 23m)", "20261227.1200 (within 23m)",
          "20261015.1200 (within 23m)", "20260701.0900 (within 23m)", "20260131.2300 (within 23m)",
          "20260115.0900 (within 23m)"}},
        {"1y: after 8 December 2026 13:05", two_years, within(1, 'y'), {},
         {"20271208.1305 (within 1y)", "20271208.0930 (within 1y)", "20271208.0910 (within 1y)",
          "20271207.2350 (within 1y)", "20271207.0800 (within 1y)", "20271206.1305 (within 1y)",
          "20271205.1800 (within 1y)", "20271129.1000 (within 1y)", "20271115.1000 (within 1y)",
          "20270831.2300 (within 1y)", "20270801.0900 (within 1y)", "20270615.1200 (within 1y)",
          "20270402.0800 (within 1y)", "20270104.0900 (within 1y)", "20270101.1000 (within 1y)",
          "20261231.2000 (within 1y)", "20261228.0800 (within 1y)", "20261227.1200 (within 1y)"}},
        {"1m from 31 March: after 28 February 12:00, not 3 March",
         {"20270331.1200", "20270303.1100", "20270228.1201", "20270228.1200"}, within(1, 'm'), {},
         {"20270331.1200 (within 1m)", "20270303.1100 (within 1m)", "20270228.1201 (within 1m)"}},
        {"1m from 31 March of a leap year: after 29 February",
         {"20280331.0800", "20280229.0900", "20280229.0800"}, within(1, 'm'), {},
         {"20280331.0800 (within 1m)", "20280229.0900 (within 1m)"}},
        {"1y from 29 February: after 28 February",
         {"20280229.1200", "20270301.0000", "20270228.1300", "20270228.1200"}, within(1, 'y'), {},
         {"20280229.1200 (within 1y)", "20270301.0000 (within 1y)", "20270228.1300 (within 1y)"}},
        {"a whole history younger than the duration", {"20270102.0000", "20261231.0000"}, within(999'999'999, 'y'), {},
         {"20270102.0000 (within 999999999y)", "20261231.0000 (within 999999999y)"}},
        {"23h in spring: after 28 March 11:00 UTC; 12:30 is 22.5 hours back, 23.5 on the clock", spring,
         within(23, 'h'), {},
         {"20260329.1200+02 (within 23h)", "20260329.0330+02 (within 23h)", "20260329.0130+01 (within 23h)",
          "20260328.1300+01 (within 23h)", "20260328.1230+01 (within 23h)"}},
        {"1d in spring: on the calendar, after 28 March 12:00, though 23.5 hours passed since 11:30", spring,
         within(1, 'd'), {},
         {"20260329.1200+02 (within 1d)", "20260329.0330+02 (within 1d)", "20260329.0130+01 (within 1d)",
          "20260328.1300+01 (within 1d)", "20260328.1230+01 (within 1d)"}},
        {"23h in autumn: after 24 October 12:00 UTC; 13:50 is 23h10 back, 22h10 on the clock", autumn,
         within(23, 'h'), {},
         {"20261025.1200+01 (within 23h)", "20261025.0220+01 (within 23h)", "20261025.0240+02 (within 23h)",
          "20261024.1430+02 (within 23h)"}},
        {"1h from 02:20 winter time: 02:40 summer time passed 40 minutes before, 02:05 summer time 75",
         {"20261025.0220+01", "20261025.0240+02", "20261025.0205+02", "20261025.0150+02"}, within(1, 'h'), {},
         {"20261025.0220+01 (within 1h)", "20261025.0240+02 (within 1h)"}},
    });
}

TEST(Retention, RulesCombined) {
    check({
        {"hourly 3, daily 3, weekly 2, monthly 3", two_years, {.hourly = 3, .daily = 3, .weekly = 2, .monthly = 3}, {},
         {"20271208.1305 (hourly 1, daily 1, weekly 1, monthly 1)", "20271208.0930 (hourly 2)",
          "20271207.2350 (hourly 3, daily 2)", "20271206.1305 (daily 3)", "20271205.1800 (weekly 2)",
          "20271129.1000 (monthly 2)", "20270831.2300 (monthly 3)"}},
        {"last 2, within 1w, yearly 1", two_years, {.last = 2, .yearly = 1, .within = Duration{1, 'w'}}, {},
         {"20271208.1305 (last 1, within 1w, yearly 1)", "20271208.0930 (last 2, within 1w)",
          "20271208.0910 (within 1w)", "20271207.2350 (within 1w)", "20271207.0800 (within 1w)",
          "20271206.1305 (within 1w)", "20271205.1800 (within 1w)"}},
        {"every rule", two_years,
         {.last = 1, .hourly = 2, .daily = 2, .weekly = 2, .monthly = 2, .yearly = 2, .within = Duration{1, 'd'}}, {},
         {"20271208.1305 (last 1, within 1d, hourly 1, daily 1, weekly 1, monthly 1, yearly 1)",
          "20271208.0930 (within 1d, hourly 2)", "20271208.0910 (within 1d)", "20271207.2350 (within 1d, daily 2)",
          "20271205.1800 (weekly 2)", "20271129.1000 (monthly 2)", "20261231.2000 (yearly 2)"}},
    });
}

TEST(Retention, CalendarCorners) {
    check({
        {"the hour that repeats, in the order made: 02:20 after the clocks went back",
         {"20261025.0220", "20261025.0240", "20261025.0205"}, {.hourly = 1}, {}, {"20261025.0220 (hourly 1)"}},
        {"the hour that repeats, one hour found of two: the oldest stays too",
         {"20261025.0220", "20261025.0240", "20261025.0205"}, {.hourly = 2}, {},
         {"20261025.0220 (hourly 1)", "20261025.0205 (hourly 1)"}},
        {"Monday 31 December 2029 is in week 1 of 2030", {"20300101.1200", "20291231.1200", "20291230.1200"},
         {.weekly = 2}, {}, {"20300101.1200 (weekly 1)", "20291230.1200 (weekly 2)"}},
        {"week 53 of 2026 runs from 28 December to 3 January",
         {"20270104.0900", "20270103.1500", "20270101.1000", "20261231.2000", "20261228.0800", "20261227.1200"},
         {.weekly = 3}, {},
         {"20270104.0900 (weekly 1)", "20270103.1500 (weekly 2)", "20261227.1200 (weekly 3)"}},
        {"one backup", {"20271208.1305"}, {.daily = 5}, {}, {"20271208.1305 (daily 1)"}},
        {"no backup", {}, {.daily = 5}, {}, {}},
    });
}

TEST(Retention, TheNewestAndTheRunsOwnStay) {
    check({
        {"no rule: the newest alone", two_years, {}, {}, {"20271208.1305 (newest)"}},
        {"the run's own, older by its stamp", two_years, {.last = 1}, 3,
         {"20271208.1305 (last 1)", "20271207.2350 (this run)"}},
        {"the run's own, kept by a rule as well", two_years, {.daily = 3}, 4,
         {"20271208.1305 (daily 1)", "20271207.2350 (daily 2)", "20271207.0800 (this run)",
          "20271206.1305 (daily 3)"}},
        {"the run's own and the newest", two_years, {}, 0, {"20271208.1305 (newest)"}},
        {"nothing later than the newest less 0h", two_years, {.within = Duration{0, 'h'}}, {},
         {"20271208.1305 (newest)"}},
    });
}

TEST(Retention, AnyRule) {
    EXPECT_FALSE(Retention{}.any());
    EXPECT_TRUE(Retention{.yearly = 1}.any());
    EXPECT_TRUE((Retention{.within = Duration{1, 'h'}}.any()));
}

TEST(Retention, ReasonsAsText) {
    EXPECT_EQ(reasons_text({{"daily 3", "weekly 1"}}), "(daily 3, weekly 1)");
    EXPECT_EQ(reasons_text({{"newest"}}), "(newest)");
    EXPECT_EQ(reasons_text({}), "");
}

TEST(Retention, ReadsCounts) {
    const std::vector<std::pair<std::string_view, std::optional<std::uint32_t>>> rows{
        {"1", 1},           {"24", 24},           {"007", 7},          {"999999999", 999'999'999},
        {"0", std::nullopt}, {"1000000000", std::nullopt}, {"", std::nullopt}, {"+1", std::nullopt},
        {"-1", std::nullopt}, {" 1", std::nullopt}, {"1h", std::nullopt}, {"1.0", std::nullopt},
    };
    for (const auto& [text, count] : rows) EXPECT_EQ(parse_count(text), count) << text;
}

TEST(Retention, ReadsDurations) {
    const auto same = [](std::optional<Duration> a, std::optional<Duration> b) {
        return a.has_value() == b.has_value() && (!a || (a->count == b->count && a->unit == b->unit));
    };
    const std::vector<std::pair<std::string_view, std::optional<Duration>>> rows{
        {"12h", Duration{12, 'h'}}, {"7d", Duration{7, 'd'}}, {"4w", Duration{4, 'w'}},
        {"6m", Duration{6, 'm'}}, {"1y", Duration{1, 'y'}}, {"999999999d", Duration{999'999'999, 'd'}},
        {"0d", std::nullopt}, {"1000000000d", std::nullopt}, {"d", std::nullopt}, {"12", std::nullopt},
        {"12H", std::nullopt}, {"12 h", std::nullopt}, {" 12h", std::nullopt}, {"1dd", std::nullopt},
        {"1s", std::nullopt}, {"1.5d", std::nullopt}, {"-1d", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& [text, duration] : rows) EXPECT_TRUE(same(parse_duration(text), duration)) << text;
}

}  // namespace
