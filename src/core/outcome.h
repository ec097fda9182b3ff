// How an operation that may fail tells its caller: its result together with
// the error it met, taken at the place it failed, so that no caller reads a
// failure from a global indicator that another call may have changed.
#pragma once

#include <cstdint>
#include <utility>

// Why an operation failed: the system's error number (errno on POSIX, the
// last-error value on Windows) or one of the program's own; 0 for none.
using ErrorCode = std::uint32_t;

// An operation without a result of its own: its error, or none.
struct [[nodiscard]] Error {
    ErrorCode code = 0;
    explicit operator bool() const { return code != 0; }
};

// An operation's result and its error; the result holds only where the
// error is none.
template <class Value>
struct [[nodiscard]] Outcome {
    Value value{};
    ErrorCode error = 0;

    Outcome() = default;
    Outcome(Value result) : value(std::move(result)) {}  // NOLINT: a result converts to its outcome
    Outcome(Error failure) : error(failure.code) {}       // NOLINT: so does a failure
    // Both, where the system tells an error beside a result (Windows'
    // last-error value, which decides on its own).
    Outcome(Value result, ErrorCode code) : value(std::move(result)), error(code) {}
    bool failed() const { return error != 0; }
};
