#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "run/guarded.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
const platform::ErrorCode ordinary_error = ERROR_INVALID_HANDLE;
const std::vector<platform::ErrorCode> fatal_errors{7, 9, 10};
#else
// A list too long to hand out (E2BIG) is an ordinary failure: only memory
// exhaustion is fatal.
const platform::ErrorCode ordinary_error = E2BIG;
const std::vector<platform::ErrorCode> fatal_errors{ENOMEM};
#endif

struct Row {
    const char* what;
    bool result;
    platform::ErrorCode error;
    FailureRule rule;
    bool failed;
};

TEST(GuardedCall, DecidesFailureFromTheCallsError) {
    const std::vector<Row> rows{
        {"false result, indicator clear", false, 0, FailureRule::error_set, false},
        {"true result, indicator set", true, ordinary_error, FailureRule::error_set, true},
        {"false result, indicator set", false, ordinary_error, FailureRule::error_set, true},
        {"copy: true result, indicator set", true, ordinary_error,
         FailureRule::error_set_and_result_false, false},
        {"copy: false result, indicator set", false, ordinary_error,
         FailureRule::error_set_and_result_false, true},
        {"copy: false result, indicator clear", false, 0, FailureRule::error_set_and_result_false,
         false},
    };
    for (const Row& row : rows) {
        const auto outcome = guarded_call([&] { return Outcome<bool>{row.result, row.error}; }, row.rule);
        EXPECT_EQ(outcome.failed, row.failed) << row.what;
        EXPECT_EQ(outcome.result, row.result) << row.what;
    }
}

// An error left by an earlier call is no failure of the next one.
TEST(GuardedCall, AnEarlierErrorIsNotTheCallsOwn) {
#ifdef _WIN32
    SetLastError(ordinary_error);
#else
    errno = static_cast<int>(ordinary_error);
#endif
    EXPECT_FALSE(guarded_call([] { return platform::path_exists("."); }).failed);
}

#ifdef _WIN32
TEST(GuardedCall, QuietErrorModeDuringTheCallOnly) {
    const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    UINT during = 0;
    guarded_call([&] {
        during = GetErrorMode();
        return Error{};
    });
    EXPECT_EQ(during & (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX),
              UINT{SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
    EXPECT_EQ(GetErrorMode(), UINT{SEM_NOGPFAULTERRORBOX});
    SetErrorMode(before);
}
#endif

TEST(GuardedCallDeathTest, FatalErrorsEndTheProcessSilentlyWith255) {
    for (const platform::ErrorCode error : fatal_errors) {
        EXPECT_EXIT(guarded_call([&] { return Outcome<bool>{false, error}; }),
                    testing::ExitedWithCode(255), "^$")
            << "error " << error;
    }
}

TEST(GuardedCallDeathTest, OrdinaryErrorReturnsToTheCaller) {
    EXPECT_EXIT(
        {
            const bool failed = guarded_call([] { return Outcome<bool>{false, ordinary_error}; }).failed;
            platform::exit_process(failed ? 42 : 0);
        },
        testing::ExitedWithCode(42), "^$");
}

}  // namespace
