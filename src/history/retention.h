// Calendar retention: which of a file's backups stay under rules such as
// "24 hourly, 7 daily, 4 weekly, 12 monthly", as restic's forget keeps
// snapshots. Pure rules over calendar fields and the instants backups were
// made; no clock, no time zone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/policy.h"
#include "tesrak.h"

// A span of time: N elapsed hours 'h', or on the calendar days 'd', weeks
// 'w' (7 days), months 'm' or years 'y'.
struct Duration {
    std::uint32_t count = 0;
    char unit = 'd';
};

// A COUNT: a whole number from 1 up, 1 to 9 digits only.
std::optional<std::uint32_t> parse_count(std::string_view text);

// A DURATION: a count then one of h d w m y ("12h", "7d", "4w", "6m", "1y").
std::optional<Duration> parse_duration(std::string_view text);

// The rules, ORed: a backup stays when any of them keeps it. 0 (or none for
// within) leaves a rule out.
struct Retention {
    std::uint32_t last = 0, hourly = 0, daily = 0, weekly = 0, monthly = 0, yearly = 0;
    std::optional<Duration> within = std::nullopt;

    bool any() const { return last || hourly || daily || weekly || monthly || yearly || within; }
};

// Why a backup stays, in a fixed order: "last 1", "within 7d", "hourly 3",
// "daily 3", "weekly 1", "monthly 2", "yearly 1" (the number is the rule's
// period, 1 the newest), then "newest" or "this run" where no rule keeps it.
// None: it goes.
struct Kept {
    std::vector<std::string> reasons;

    bool kept() const { return !reasons.empty(); }
};

// The backups newest first, as sort_newest_first puts them: their periods
// come from their calendar fields, and hours within from the instants made.
// spared: the backup the run itself made, which always stays.
std::vector<Kept> apply_retention(const Retention& rules, std::span<const BackupEntry> newest_first,
                                  std::optional<std::size_t> spared);

// The reasons for a dry run's line: "(daily 3, weekly 1)"; empty for none.
std::string reasons_text(const Kept& kept);
