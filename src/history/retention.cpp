#include "history/retention.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>

namespace {

constexpr std::int64_t ms_per_day = 86'400'000;
constexpr Instant hundredths_per_hour = 360'000;

// Days since 1970-01-01 in the Gregorian calendar (Howard Hinnant's
// days_from_civil); signed throughout, so fields off the calendar give a
// wrong day rather than undefined behaviour.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    return era * 146'097 + year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year - 719'468;
}

std::int64_t days_of(const mivo_systemtime& t) { return days_from_civil(t.wYear, t.wMonth, t.wDay); }

// The fields as one number that grows as they do, in milliseconds.
std::int64_t moment(const mivo_systemtime& t) {
    return (((days_of(t) * 24 + t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
}

// Where a backup stands on the scale a duration is measured on. Hours are
// elapsed time between the instants made, so that a change of the clocks
// neither adds an hour nor takes one away; days and longer go back on the
// calendar to the same clock time, however many hours that is.
std::int64_t position(const BackupEntry& backup, Duration span) {
    return span.unit == 'h' ? backup.made : moment(backup.calendar);
}

// The newest backup's position less the duration. Months and years go back
// on the calendar and keep the day where the month has it, else take its last.
std::int64_t cutoff(const BackupEntry& newest_backup, Duration span) {
    const std::int64_t count = span.count;
    if (span.unit == 'h') return newest_backup.made - count * hundredths_per_hour;
    const mivo_systemtime& newest = newest_backup.calendar;
    if (span.unit == 'd' || span.unit == 'w') return moment(newest) - count * (span.unit == 'w' ? 7 : 1) * ms_per_day;
    const std::int64_t months = newest.wYear * 12 + newest.wMonth - 1 - count * (span.unit == 'y' ? 12 : 1);
    // Before year 0 every backup is later; the days there would overflow.
    if (months < 0) return std::numeric_limits<std::int64_t>::min();
    const std::int64_t year = months / 12, month = months % 12 + 1;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    constexpr std::array<std::int64_t, 12> lengths{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const std::int64_t day = std::min<std::int64_t>(newest.wDay, lengths[month - 1] + (month == 2 && leap ? 1 : 0));
    return moment(newest) + (days_from_civil(year, month, day) - days_of(newest)) * ms_per_day;
}

// The rules in the order their reasons are listed.
enum Rule : std::size_t { last, within, hourly, daily, weekly, monthly, yearly, rule_count };

// The period a backup falls in under a counted rule. An ISO 8601 week runs
// Monday to Sunday, so its Monday names it (1970-01-01 was a Thursday).
std::int64_t period(Rule rule, std::size_t index, const mivo_systemtime& t) {
    const std::int64_t days = days_of(t);
    switch (rule) {
    case hourly: return days * 100 + t.wHour;
    case daily: return days;
    case weekly: return days - ((days + 3) % 7 + 7) % 7;
    case monthly: return t.wYear * 100 + t.wMonth;
    case yearly: return t.wYear;
    default: return static_cast<std::int64_t>(index);
    }
}

}  // namespace

std::optional<std::uint32_t> parse_count(std::string_view text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char digit : text) value = value * 10 + static_cast<std::uint32_t>(digit - '0');
    if (value == 0) return std::nullopt;
    return value;
}

std::optional<Duration> parse_duration(std::string_view text) {
    if (text.empty() || std::string_view("hdwmy").find(text.back()) == std::string_view::npos) return std::nullopt;
    const std::optional<std::uint32_t> count = parse_count(text.substr(0, text.size() - 1));
    if (!count) return std::nullopt;
    return Duration{*count, text.back()};
}

std::vector<Kept> apply_retention(const Retention& rules, std::span<const BackupEntry> newest_first,
                                  std::optional<std::size_t> spared) {
    std::vector<Kept> result(newest_first.size());
    if (newest_first.empty()) return result;
    constexpr std::array<const char*, rule_count> names{"last", "within", "hourly", "daily",
                                                        "weekly", "monthly", "yearly"};
    const std::array<std::uint32_t, rule_count> counts{rules.last,   0,           rules.hourly, rules.daily,
                                                       rules.weekly, rules.monthly, rules.yearly};
    for (std::size_t rule = 0; rule < rule_count; ++rule) {
        if (rule == within && rules.within) {
            const std::int64_t after = cutoff(newest_first.front(), *rules.within);
            const std::string reason = "within " + std::to_string(rules.within->count) + rules.within->unit;
            for (std::size_t i = 0; i < newest_first.size(); ++i) {
                if (position(newest_first[i], *rules.within) > after) result[i].reasons.push_back(reason);
            }
        }
        // Each period's number, 1 the newest; a period without backups takes none.
        std::map<std::int64_t, std::uint32_t> numbers;
        for (std::size_t i = 0; i < newest_first.size() && numbers.size() < counts[rule]; ++i) {
            const auto [at, fresh] = numbers.emplace(period(static_cast<Rule>(rule), i, newest_first[i].calendar),
                                                     static_cast<std::uint32_t>(numbers.size() + 1));
            // With periods to spare the oldest stays too, for the longest history.
            if (fresh || i + 1 == newest_first.size()) {
                result[i].reasons.push_back(std::string(names[rule]) + ' ' + std::to_string(at->second));
            }
        }
    }
    if (!result.front().kept()) result.front().reasons.push_back("newest");
    if (spared && *spared < result.size() && !result[*spared].kept()) result[*spared].reasons.push_back("this run");
    return result;
}

std::string reasons_text(const Kept& kept) {
    std::string text;
    for (const std::string& reason : kept.reasons) text += (text.empty() ? "(" : ", ") + reason;
    return text.empty() ? text : text + ")";
}
