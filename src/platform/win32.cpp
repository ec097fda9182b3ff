// The platform layer on Windows: kernel32 and oleaut32, ANSI throughout.
#include <windows.h>
#include <oleauto.h>

#include "platform/platform.h"

namespace {

HANDLE standard_output = INVALID_HANDLE_VALUE;

// Ctrl+C, Ctrl+Break and closing the console do not stop a backup half-way.
BOOL WINAPI ignore_console_events(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT
               ? TRUE
               : FALSE;
}

}  // namespace

namespace platform {

void start_up(int, char**) {
    standard_output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetConsoleCtrlHandler(ignore_console_events, TRUE);
}

std::string command_line() {
    return GetCommandLineA();
}

bool write_stdout(std::string_view bytes) {
    DWORD written = 0;
    return WriteFile(standard_output, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) != FALSE &&
           written == bytes.size();
}

ErrorMode enter_quiet_error_mode() {
    return SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void restore_error_mode(ErrorMode kept) {
    SetErrorMode(kept);
}

void clear_last_error() {
    SetLastError(0);
}

ErrorCode last_error() {
    return GetLastError();
}

bool is_fatal_error(ErrorCode error) {
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_INVALID_BLOCK ||
           error == ERROR_BAD_ENVIRONMENT;
}

void exit_process(int code) {
    ExitProcess(static_cast<UINT>(code));
}

bool create_folder(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

bool path_exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool copy_file_replacing(const std::string& source, const std::string& target) {
    return CopyFileA(source.c_str(), target.c_str(), FALSE) != FALSE;
}

bool move_file_without_replacing(const std::string& source, const std::string& target) {
    return MoveFileA(source.c_str(), target.c_str()) != FALSE;
}

mivo_systemtime local_time() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return mivo_systemtime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                           now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

mivo_text new_result_text(std::string_view text) {
    // One byte a character: the length prefix counts the stamp's bytes.
    BSTR result = SysAllocStringByteLen(nullptr, static_cast<UINT>(text.size()));
    if (result == nullptr) return nullptr;
    auto* bytes = reinterpret_cast<char*>(result);
    for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = text[i];
    return result;
}

std::string release_result_text(mivo_text text) {
    std::string result(reinterpret_cast<const char*>(text), SysStringByteLen(text));
    SysFreeString(text);
    return result;
}

void bind_own_imports() {}

}  // namespace platform
