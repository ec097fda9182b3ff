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

}  // namespace posix

namespace platform {

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
