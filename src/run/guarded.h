// Every platform call that may fail because of the file system or the console
// goes through guarded_call: the system's own error boxes are kept quiet, the
// error indicator is cleared before and read after the call, and the process
// ends at once, with no output, when the call left it in no state to go on.
#pragma once

#include <mutex>

#include "platform/platform.h"

inline constexpr int fatal_exit_code = 255;

enum class FailureRule {
    error_set,                // failed when the error indicator is not clear
    error_set_and_result_false,  // as above, and only when the call returned false
};

template <class Result>
struct Guarded {
    Result result;
    bool failed;
    platform::ErrorCode error;  // the error indicator after the call
};

inline std::mutex& guarded_call_lock() {
    static std::mutex lock;
    return lock;
}

template <class Call>
auto guarded_call(Call&& call, FailureRule rule = FailureRule::error_set) {
    using Result = decltype(call());
    Result result{};
    platform::ErrorCode error = 0;
    {
        // The error mode is process-wide: no two calls may interleave it.
        const std::lock_guard hold(guarded_call_lock());
        const platform::ErrorMode kept = platform::enter_quiet_error_mode();
        platform::clear_last_error();
        result = call();
        error = platform::last_error();
        platform::restore_error_mode(kept);
    }
    const bool failed =
        error != 0 && !(rule == FailureRule::error_set_and_result_false && result);
    if (failed && platform::is_fatal_error(error)) platform::exit_process(fatal_exit_code);
    return Guarded<Result>{result, failed, error};
}
