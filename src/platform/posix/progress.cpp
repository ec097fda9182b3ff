// The progress line: where standard error is a terminal, a run that has
// lasted more than a second shows there what it has done, on one line that
// is redrawn in place at most ten times a second and erased when the run
// ends. Elsewhere nothing is written: scripts see what they always saw.
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

// The clock is looked at once this many entries, or this many bytes, are
// done since it was last looked at, not at every entry.
constexpr std::uint64_t entries_between_looks = 32;
constexpr std::uint64_t bytes_between_looks = std::uint64_t{1} << 20;
// A run shorter than the first shows nothing; the line is redrawn at most
// once in the second.
constexpr std::int64_t quiet_milliseconds = 1000;
constexpr std::int64_t redraw_milliseconds = 100;

struct Meter {
    bool on = false;
    timespec started = {};
    timespec drawn = {};  // when the line was last drawn, or would have been in the background
    bool ever_drawn = false;
    ProgressCounts counts = {};
    // Whether a part of the run's work had no known number of entries or bytes.
    bool entries_untold = false;
    bool bytes_untold = false;
    std::uint64_t look_at_entries = 0;  // the counts at which the clock is next looked at
    std::uint64_t look_at_bytes = 0;
    std::size_t width = 0;  // the terminal's columns, 0 where not known
};

Meter meter;

std::int64_t milliseconds_between(const timespec& from, const timespec& to) {
    constexpr std::int64_t per_second = 1000;
    constexpr std::int64_t nanoseconds_per = 1'000'000;
    return (static_cast<std::int64_t>(to.tv_sec) - from.tv_sec) * per_second +
           (to.tv_nsec - from.tv_nsec) / nanoseconds_per;
}

void draw() {
    std::string line = "\r\x1b[K";
    std::string text = progress_text(meter.counts, milliseconds_between(meter.started, meter.drawn));
    // A line wider than the terminal would wrap, and only its last row be erased.
    if (meter.width > 1 && text.size() >= meter.width) text.resize(meter.width - 1);
    line += text;
    if (::write(STDERR_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        // A terminal that takes no more (hung up) is not written to again.
        meter.on = false;
        return;
    }
    progress_line_shown = true;
}

void look_at_the_clock() {
    meter.look_at_entries = meter.counts.entries + entries_between_looks;
    meter.look_at_bytes = meter.counts.bytes + bytes_between_looks;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (milliseconds_between(meter.started, now) < quiet_milliseconds) return;
    if (meter.ever_drawn && milliseconds_between(meter.drawn, now) < redraw_milliseconds) return;
    meter.drawn = now;
    meter.ever_drawn = true;
    // A run put in the background (a job of an interactive shell) keeps off
    // the terminal meanwhile, and is asked again a tenth of a second later.
    if (::tcgetpgrp(STDERR_FILENO) != ::getpgrp()) return;
    draw();
}

// "512 B", "1.5 KiB", "12.3 MiB".
std::string in_units(double amount) {
    constexpr std::array<const char*, 7> units{"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    constexpr double step = 1024;
    // Rounded to one decimal, 1023.96 KiB is shown as 1.0 MiB.
    constexpr double largest_shown = step - 0.05;
    std::size_t unit = 0;
    while (unit + 1 < units.size() && amount >= (unit == 0 ? step : largest_shown)) {
        amount /= step;
        ++unit;
    }
    constexpr std::size_t room = 32;
    std::array<char, room> text{};
    const int length = unit == 0 ? std::snprintf(text.data(), text.size(), "%.0f %s", amount, units[unit])
                                 : std::snprintf(text.data(), text.size(), "%.1f %s", amount, units[unit]);
    return {text.data(), static_cast<std::size_t>(std::max(length, 0))};
}

}  // namespace

std::string progress_text(const ProgressCounts& counts, std::int64_t milliseconds) {
    std::string text = std::to_string(counts.entries);
    if (counts.entries_expected) text += '/' + std::to_string(*counts.entries_expected);
    text += counts.entries_expected.value_or(counts.entries) == 1 ? " entry, " : " entries, ";
    text += in_units(static_cast<double>(counts.bytes));
    if (counts.bytes_expected) text += " of " + in_units(static_cast<double>(*counts.bytes_expected));
    constexpr double per_second = 1000;
    const double seconds = static_cast<double>(std::max<std::int64_t>(milliseconds, 1)) / per_second;
    return text + ", " + in_units(static_cast<double>(counts.bytes) / seconds) + "/s";
}

bool progress_on() {
    return meter.on;
}

void expect_progress(std::optional<std::uint64_t> entries, std::optional<std::uint64_t> bytes) {
    // What was done before (the rest of a run taken again under a new stamp,
    // a restore's backup of the file first) counts too; once a part of the
    // run's work had no known total, no total is shown.
    const auto total = [](bool& untold, std::optional<std::uint64_t> rest,
                          std::uint64_t done) -> std::optional<std::uint64_t> {
        untold = untold || !rest;
        if (!rest || untold) return std::nullopt;
        return done + *rest;
    };
    meter.counts.entries_expected = total(meter.entries_untold, entries, meter.counts.entries);
    meter.counts.bytes_expected = total(meter.bytes_untold, bytes, meter.counts.bytes);
}

void entry_done() {
    if (!meter.on) return;
    if (++meter.counts.entries >= meter.look_at_entries) look_at_the_clock();
}

void bytes_done(std::uint64_t bytes) {
    if (!meter.on) return;
    meter.counts.bytes += bytes;
    if (meter.counts.bytes >= meter.look_at_bytes) look_at_the_clock();
}

}  // namespace posix

namespace platform {

void show_progress() {
    using namespace posix;
    if (::isatty(STDERR_FILENO) == 0) return;
    meter = Meter{};
    meter.on = true;
    ::clock_gettime(CLOCK_MONOTONIC, &meter.started);
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) meter.width = size.ws_col;
    meter.look_at_entries = entries_between_looks;
    meter.look_at_bytes = bytes_between_looks;
}

}  // namespace platform
