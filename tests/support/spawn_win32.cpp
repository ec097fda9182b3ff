#include "support/spawn.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace {

// The build gives paths of the host; Wine shows the host's root as Z:.
std::string windows_path(std::string path) {
    if (!path.empty() && path.front() == '/') path.insert(0, "Z:");
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
}

}  // namespace

std::string tesrak_windows_path() {
    return windows_path(TESRAK_EXE);
}

ProgramRun run_tesrak(const std::vector<std::string>& arguments, const std::filesystem::path& folder) {
    std::string line = "\"";
    line += tesrak_windows_path();
    line += '"';
    for (const std::string& argument : arguments) (line += ' ') += argument;
    return run_command_line(line, folder);
}

namespace {

ProgramRun run(const std::string& command_line, const std::filesystem::path& folder, const char* program,
               const std::function<void()>& debug_loop) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inheritable, 0)) throw std::runtime_error("CreatePipe");
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writer;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    std::string text = command_line;
    const std::string application = program != nullptr ? windows_path(program) : "";
    const std::string directory = folder.string();
    const DWORD flags = debug_loop ? DEBUG_ONLY_THIS_PROCESS : 0;
    if (!CreateProcessA(program != nullptr ? application.c_str() : nullptr, text.data(), nullptr,
                        nullptr, TRUE, flags, nullptr, directory.c_str(), &startup, &process)) {
        throw std::runtime_error("cannot start " + command_line + " in " + directory + ": error " +
                                 std::to_string(GetLastError()));
    }
    CloseHandle(writer);
    // The output is a few lines, which the pipe holds until the process ends.
    if (debug_loop) debug_loop();
    std::string output;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got != 0) output.append(buffer, got);
    CloseHandle(reader);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return {static_cast<int>(exit_code), output, {}};
}

}  // namespace

ProgramRun run_command_line(const std::string& command_line, const std::filesystem::path& folder,
                            const char* program) {
    return run(command_line, folder, program, {});
}

ProgramRun run_debugged(const std::string& command_line, const std::filesystem::path& folder,
                        const std::function<void()>& debug_loop) {
    return run(command_line, folder, TESRAK_EXE, debug_loop);
}
