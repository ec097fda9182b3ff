// Every platform call that may fail because of the file system or the console
// goes through guarded_call: the system's own error boxes are kept quiet
// while it runs, its error (taken by the call where it failed) decides
// whether it failed, and the process ends at once, with no output, when the
// call left it in no state to go on.
#pragma once

#include <mutex>
#include <type_traits>

#include "platform/platform.h"

inline constexpr int fatal_exit_code = 255;

enum class FailureRule {
    error_set,                   // failed when the call's error is not none
    error_set_and_result_false,  // as above, and only when its result is false
};

template <class Result>
struct Guarded {
    Result result;
    bool failed;
    platform::ErrorCode error;  // the call's error
};

inline std::mutex& guarded_call_lock() {
    static std::mutex lock;
    return lock;
}

// A call's result and error: an outcome's value, or the whole of what it
// returned (a batch's count, an error alone).
template <class Value>
Value result_of(Outcome<Value>& outcome) {
    return std::move(outcome.value);
}
inline platform::Batch result_of(platform::Batch& batch) {
    return std::move(batch);
}
inline Error result_of(const Error& error) {
    return error;
}
template <class Value>
platform::ErrorCode error_of(const Outcome<Value>& outcome) {
    return outcome.error;
}
inline platform::ErrorCode error_of(const platform::Batch& batch) {
    return batch.error;
}
inline platform::ErrorCode error_of(const Error& error) {
    return error.code;
}

template <class Call>
auto guarded_call(Call&& call, FailureRule rule = FailureRule::error_set) {
    using Returned = decltype(call());
    using Result = decltype(result_of(std::declval<Returned&>()));
    Guarded<Result> guarded{};
    {
        // The error mode is process-wide: no two calls may interleave it.
        const std::lock_guard hold(guarded_call_lock());
        const platform::ErrorMode kept = platform::enter_quiet_error_mode();
        Returned returned = call();
        platform::restore_error_mode(kept);
        guarded.error = error_of(returned);
        guarded.result = result_of(returned);
    }
    bool excused = false;
    if constexpr (std::is_same_v<Result, bool>) {
        excused = rule == FailureRule::error_set_and_result_false && guarded.result;
    }
    guarded.failed = guarded.error != 0 && !excused;
    if (guarded.failed && platform::is_fatal_error(guarded.error)) platform::exit_process(fatal_exit_code);
    return guarded;
}
