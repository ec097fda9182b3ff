// The process on POSIX systems: its arguments, standard output, signals, the
// error indicator, the clock and the result texts of the stamp functions.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

int argument_count = 0;
char** arguments_given = nullptr;

}  // namespace

namespace posix {

mivo_systemtime local_time_of(const timespec& moment) {
    std::tm local{};
    ::localtime_r(&moment.tv_sec, &local);
    return mivo_systemtime{
        static_cast<std::uint16_t>(local.tm_year + 1900), static_cast<std::uint16_t>(local.tm_mon + 1),
        static_cast<std::uint16_t>(local.tm_wday),        static_cast<std::uint16_t>(local.tm_mday),
        static_cast<std::uint16_t>(local.tm_hour),        static_cast<std::uint16_t>(local.tm_min),
        static_cast<std::uint16_t>(local.tm_sec),         static_cast<std::uint16_t>(moment.tv_nsec / 1000000),
    };
}

Nanoseconds instant_of(const timespec& moment) {
    return static_cast<Nanoseconds>(moment.tv_sec) * 1'000'000'000 + moment.tv_nsec;
}

Nanoseconds now_instant() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return instant_of(now);
}

std::int64_t hundredths_of(const timespec& moment) {
    return static_cast<std::int64_t>(moment.tv_sec) * 100 + moment.tv_nsec / 10'000'000;
}

bool progress_line_shown = false;

void erase_progress_line() {
    if (!progress_line_shown) return;
    progress_line_shown = false;
    // A run put in the background since leaves the line: a write there could
    // stop it (stty tostop).
    if (::tcgetpgrp(STDERR_FILENO) != ::getpgrp()) return;
    constexpr std::string_view erase = "\r\x1b[K";
    // A terminal that takes nothing more has nothing to erase.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, erase.data(), erase.size());
}

}  // namespace posix

namespace platform {

std::uint32_t user_id() {
    return ::geteuid();
}

namespace {

// The zone's offset from universal time at a moment, in seconds; asked once
// an hour of moments, since lists of backups ask for many.
long offset_at(std::time_t moment) {
    static std::unordered_map<std::time_t, long> known;
    constexpr std::time_t hour = 3600;
    const auto [place, fresh] = known.try_emplace(moment / hour);
    if (fresh) {
        const std::time_t hour_start = moment / hour * hour;
        std::tm local{};
        ::localtime_r(&hour_start, &local);
        place->second = local.tm_gmtoff;
    }
    return place->second;
}

}  // namespace

// The local time read as universal time, less the zone's offset half a day
// before and half a day after: where the two agree, no change of the clocks
// is near and that is the instant. Otherwise each is one where the clock
// showed that time; in the hour the clocks skip, neither is, and the offset
// from before it stands.
std::vector<std::int64_t> instants_of(const mivo_systemtime& local) {
    std::tm fields{};
    fields.tm_year = local.wYear - 1900;
    fields.tm_mon = local.wMonth - 1;
    fields.tm_mday = local.wDay;
    fields.tm_hour = local.wHour;
    fields.tm_min = local.wMinute;
    fields.tm_sec = local.wSecond;
    const std::time_t as_universal = ::timegm(&fields);
    constexpr std::time_t half_a_day = 43'200;
    const long before = offset_at(as_universal - half_a_day);
    const long after = offset_at(as_universal + half_a_day);
    const auto instant = [&](long offset) {
        return static_cast<std::int64_t>(as_universal - offset) * 100 + local.wMilliseconds / 10;
    };
    if (before == after) return {instant(before)};
    std::vector<std::int64_t> instants;
    for (const long offset : {before, after}) {
        const std::time_t moment = as_universal - offset;
        std::tm shown{};
        ::localtime_r(&moment, &shown);
        if (shown.tm_hour == fields.tm_hour && shown.tm_min == fields.tm_min && shown.tm_mday == fields.tm_mday) {
            instants.push_back(instant(offset));
        }
    }
    if (instants.empty()) instants.push_back(instant(before));
    std::sort(instants.begin(), instants.end());
    return instants;
}

void pause_briefly() {
    constexpr timespec moment{0, 1'000'000};
    ::nanosleep(&moment, nullptr);
}

bool name_taken(ErrorCode error) {
    return error == EEXIST;
}

void start_up(int argc, char** argv) {
    argument_count = argc;
    arguments_given = argv;
    // A closed pipe is an ordinary failed write; the terminal's interrupt,
    // quit and hang-up keys do not stop a backup half-way.
    for (const int signal_number : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP}) {
        std::signal(signal_number, SIG_IGN);
    }
}

std::vector<std::string_view> arguments() {
    return {arguments_given + std::min(argument_count, 1), arguments_given + argument_count};
}

// A write that took only part of the bytes is not written again: output
// goes in one write, as the run's messages are meant to.
Error write_stdout(std::string_view bytes) {
    posix::erase_progress_line();
    if (::write(STDOUT_FILENO, bytes.data(), bytes.size()) < 0) return posix::call_error();
    return {};
}

Error write_stderr(std::string_view bytes) {
    // A message starts on a clean line.
    posix::erase_progress_line();
    if (::write(STDERR_FILENO, bytes.data(), bytes.size()) < 0) return posix::call_error();
    return {};
}

std::string error_text(ErrorCode error) {
    if (error == damaged_backup) return "Backup is damaged: its bytes differ from its record";
    if (error == holds_backup_folder) return "The folder holds the backup folder";
    if (error == nothing_at_all) return std::strerror(ENOENT);
    if (error == not_a_file) return "Not a regular file";
    return std::strerror(static_cast<int>(error));
}

bool nothing_there(ErrorCode error) {
    return error == ENOENT || error == nothing_at_all;
}

ErrorMode enter_quiet_error_mode() {
    return 0;
}

void restore_error_mode(ErrorMode) {}

bool is_fatal_error(ErrorCode error) {
    return error == ENOMEM;
}

void exit_process(int code) {
    posix::erase_progress_line();
    std::_Exit(code);
}

mivo_systemtime local_time() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return posix::local_time_of(now);
}

mivo_text new_result_text(std::string_view text) {
    auto* result = static_cast<char*>(std::malloc(text.size() + 1));
    if (result == nullptr) return nullptr;
    std::memcpy(result, text.data(), text.size());
    result[text.size()] = '\0';
    return result;
}

std::string release_result_text(mivo_text text) {
    std::string result(text != nullptr ? text : "");
    std::free(text);
    return result;
}

bool bind_own_imports() {
    return true;
}

}  // namespace platform
