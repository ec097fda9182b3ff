// Runs the real Tesrak executable in a folder and collects what it wrote to
// standard output and standard error, and its exit code.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ProgramRun {
    int exit_code;
    std::string output;
    std::string errors;  // standard error (POSIX: where the messages go)

    // What the program printed: its data, then its messages.
    std::string printed() const { return output + errors; }
};

// The arguments after the program's name: on POSIX passed one by one, on
// Windows joined by single blanks after the program's quoted path.
ProgramRun run_tesrak(const std::vector<std::string>& arguments, const std::filesystem::path& folder);

#ifdef _WIN32
#include <functional>

// The program's path in the form Windows programs take.
std::string tesrak_windows_path();
// Starts a program with exactly this command-line text: Tesrak, or, with no
// program named, the one that the command line names.
ProgramRun run_command_line(const std::string& command_line, const std::filesystem::path& folder,
                            const char* program = TESRAK_EXE);
// As run_command_line, with Tesrak started as a process being debugged: the
// procedure given runs the debugger's loop until the process has ended.
ProgramRun run_debugged(const std::string& command_line, const std::filesystem::path& folder,
                        const std::function<void()>& debug_loop);
#else
#include <sys/types.h>

#include <functional>

// As run_tesrak, with the program started through a launcher command (for
// example one that changes the user).
ProgramRun run_tesrak_via(const std::vector<std::string>& launcher,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& folder);

// Starts the program with its output thrown away and returns at once.
pid_t start_tesrak(const std::vector<std::string>& arguments, const std::filesystem::path& folder);
// The wait status of a started program.
int wait_for(pid_t pid);

// Runs the body in a child process with a mount namespace of its own and
// returns the child's exit code: 77 where no such namespace can be made.
int in_private_mount_namespace(const std::function<int()>& body);

// Runs the program with standard output on a pipe whose reader has gone.
// Returns the wait status.
int run_with_reader_gone(const std::vector<std::string>& arguments,
                         const std::filesystem::path& folder);
#endif
