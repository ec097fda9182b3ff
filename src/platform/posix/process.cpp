// The process on POSIX systems: its arguments, standard output, signals, the
// error indicator, the clock and the result texts of the stamp functions.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

std::int64_t hundredths_of(const timespec& moment) {
    return static_cast<std::int64_t>(moment.tv_sec) * 100 + moment.tv_nsec / 10'000'000;
}

}  // namespace posix

namespace platform {

std::uint32_t user_id() {
    return ::geteuid();
}

// mktime is asked for the local time as standard time and as summer time;
// each answer that reads back as that same local time is one instant.
std::vector<std::int64_t> instants_of(const mivo_systemtime& local) {
    std::vector<std::int64_t> instants;
    std::time_t normalised = -1;
    for (const int summer : {0, 1, -1}) {
        std::tm fields{};
        fields.tm_year = local.wYear - 1900;
        fields.tm_mon = local.wMonth - 1;
        fields.tm_mday = local.wDay;
        fields.tm_hour = local.wHour;
        fields.tm_min = local.wMinute;
        fields.tm_sec = local.wSecond;
        fields.tm_isdst = summer;
        const std::tm asked = fields;
        const std::time_t moment = std::mktime(&fields);
        if (summer == -1) {
            normalised = moment;
            break;
        }
        const bool same = fields.tm_isdst == asked.tm_isdst && fields.tm_year == asked.tm_year &&
                          fields.tm_mon == asked.tm_mon && fields.tm_mday == asked.tm_mday &&
                          fields.tm_hour == asked.tm_hour && fields.tm_min == asked.tm_min &&
                          fields.tm_sec == asked.tm_sec;
        const std::int64_t instant = static_cast<std::int64_t>(moment) * 100 + local.wMilliseconds / 10;
        if (same && std::find(instants.begin(), instants.end(), instant) == instants.end()) {
            instants.push_back(instant);
        }
    }
    if (instants.empty()) instants.push_back(static_cast<std::int64_t>(normalised) * 100 + local.wMilliseconds / 10);
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

bool write_stdout(std::string_view bytes) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    return written == static_cast<ssize_t>(bytes.size());
}

bool write_stderr(std::string_view bytes) {
    const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    return written == static_cast<ssize_t>(bytes.size());
}

std::string error_text(ErrorCode error) {
    return std::strerror(static_cast<int>(error));
}

bool nothing_there(ErrorCode error) {
    return error == ENOENT;
}

ErrorMode enter_quiet_error_mode() {
    return 0;
}

void restore_error_mode(ErrorMode) {}

void clear_last_error() {
    errno = 0;
}

ErrorCode last_error() {
    return static_cast<ErrorCode>(errno);
}

bool is_fatal_error(ErrorCode error) {
    return error == ENOMEM;
}

void exit_process(int code) {
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
