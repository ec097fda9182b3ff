// Windows only: a program that loads Tesrak.exe as a module, as other programs
// do for its exports, and calls them. It does no binding of its own.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/spawn.h"
#include "tesrak.h"

namespace {

struct Call {
    void* result;
    std::uintptr_t stack_before;
    std::uintptr_t stack_after;
};

// Calls a function with no arguments, or with one, recording the stack
// pointer before the call and after it: a __stdcall function leaves it as it
// was, having removed its own argument. (64-bit Windows has one calling
// convention, in which the caller always cleans up.)
Call call_measured(FARPROC function, const void* argument, bool with_argument) {
    Call call{};
#ifdef _WIN64
    using Current = void* (*)();
    using Format = void* (*)(const void*);
    void* untyped = reinterpret_cast<void*>(function);
    call.result = with_argument ? reinterpret_cast<Format>(untyped)(argument)
                                : reinterpret_cast<Current>(untyped)();
#else
    if (with_argument) {
        asm volatile(
            "movl %%esp, %%esi\n\t"
            "pushl %[argument]\n\t"
            "call *%[function]\n\t"
            "movl %%esp, %%edi\n\t"
            "movl %%esi, %%esp"
            : "=a"(call.result), "=&S"(call.stack_before), "=&D"(call.stack_after)
            : [function] "b"(function), [argument] "c"(argument)
            : "edx", "memory", "cc");
    } else {
        asm volatile(
            "movl %%esp, %%esi\n\t"
            "call *%[function]\n\t"
            "movl %%esp, %%edi\n\t"
            "movl %%esi, %%esp"
            : "=a"(call.result), "=&S"(call.stack_before), "=&D"(call.stack_after)
            : [function] "b"(function)
            : "ecx", "edx", "memory", "cc");
    }
#endif
    return call;
}

HMODULE load_tesrak() {
    static const HMODULE module = LoadLibraryA(tesrak_windows_path().c_str());
    return module;
}

// The text of a result, which is then released.
std::string take(void* result) {
    const BSTR text = static_cast<BSTR>(result);
    std::string bytes(reinterpret_cast<const char*>(text), SysStringByteLen(text));
    SysFreeString(text);
    return bytes;
}

TEST(LoadedModule, ExportsByNameAndOrdinalAreTheSame) {
    const HMODULE module = load_tesrak();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "mivo_current_date"), GetProcAddress(module, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(GetProcAddress(module, "mivo_format_systime_x16"),
              GetProcAddress(module, MAKEINTRESOURCEA(2)));
    EXPECT_NE(GetProcAddress(module, "mivo_current_date"), nullptr);
}

TEST(LoadedModule, FormatsRecordsAsStdcall) {
    const FARPROC format = GetProcAddress(load_tesrak(), MAKEINTRESOURCEA(2));
    ASSERT_NE(format, nullptr);
    const std::vector<std::pair<mivo_systemtime, std::string>> rows{
        {{2011, 3, 5, 4, 13, 5, 2, 599}, "2011030413050259"},
        {{10000, 1, 0, 2, 3, 4, 5, 6}, "10000010203040500"},
        {{2011, 3, 0, 4, 13, 5, 2, 65535}, "201103041305026553"},
        {{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535}, "6553565535655356553565535655356553"},
    };
    for (const auto& [record, expected] : rows) {
        const Call call = call_measured(format, &record, true);
        EXPECT_EQ(call.stack_after, call.stack_before) << expected;
        ASSERT_NE(call.result, nullptr);
        EXPECT_EQ(SysStringByteLen(static_cast<BSTR>(call.result)), expected.size());
        EXPECT_EQ(take(call.result), expected);
    }
}

TEST(LoadedModule, CurrentDateAgainstTheClock) {
    const FARPROC current = GetProcAddress(load_tesrak(), "mivo_current_date");
    ASSERT_NE(current, nullptr);
    SYSTEMTIME before;
    GetLocalTime(&before);
    const Call call = call_measured(current, nullptr, false);
    SYSTEMTIME after;
    GetLocalTime(&after);
    EXPECT_EQ(call.stack_after, call.stack_before);
    ASSERT_NE(call.result, nullptr);
    EXPECT_EQ(SysStringByteLen(static_cast<BSTR>(call.result)), 16U);
    const std::string stamp = take(call.result);
    char low[32];
    char high[32];
    wsprintfA(low, "%04u%02u%02u%02u%02u", before.wYear, before.wMonth, before.wDay, before.wHour, before.wMinute);
    wsprintfA(high, "%04u%02u%02u%02u%02u", after.wYear, after.wMonth, after.wDay, after.wHour, after.wMinute);
    EXPECT_LE(std::string(low), stamp.substr(0, 12));
    EXPECT_LE(stamp.substr(0, 12), std::string(high));
    EXPECT_TRUE(std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

TEST(LoadedModule, FirstCallsFromTwoThreadsAtOnce) {
    const HMODULE module = load_tesrak();
    ASSERT_NE(module, nullptr);
    using Current = BSTR(WINAPI*)();
    const auto current =
        reinterpret_cast<Current>(reinterpret_cast<void*>(GetProcAddress(module, "mivo_current_date")));
    ASSERT_NE(current, nullptr);
    std::vector<std::string> stamps[2];
    std::vector<std::thread> threads;
    for (auto& collected : stamps) {
        threads.emplace_back([&collected, current] {
            for (int i = 0; i < 200; ++i) collected.push_back(take(current()));
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const auto& collected : stamps) {
        ASSERT_EQ(collected.size(), 200U);
        for (const std::string& stamp : collected) EXPECT_EQ(stamp.size(), 16U);
    }
}

}  // namespace
