#include "support/spawn.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <stdexcept>

namespace {

// posix_spawn has no portable way to set the child's folder, so the child is
// started through the shell's cd.
pid_t start(const std::vector<std::string>& launcher, const std::vector<std::string>& arguments,
            const std::filesystem::path& folder, int output) {
    std::vector<std::string> words{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", folder.string()};
    words.insert(words.end(), launcher.begin(), launcher.end());
    words.emplace_back(TESRAK_EXE);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " TESRAK_EXE);
    return pid;
}

}  // namespace

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

ProgramRun run_tesrak_via(const std::vector<std::string>& launcher,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& folder) {
    std::array<int, 2> pipe_ends{};
    if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = start(launcher, arguments, folder, pipe_ends[1]);
    close(pipe_ends[1]);
    std::string output;
    std::array<char, 4096> buffer;
    for (ssize_t got; (got = read(pipe_ends[0], buffer.data(), buffer.size())) != 0;) {
        if (got > 0) output.append(buffer.data(), static_cast<std::size_t>(got));
    }
    close(pipe_ends[0]);
    const int status = wait_for(pid);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

ProgramRun run_tesrak(const std::vector<std::string>& arguments, const std::filesystem::path& folder) {
    return run_tesrak_via({}, arguments, folder);
}

pid_t start_tesrak(const std::vector<std::string>& arguments, const std::filesystem::path& folder) {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = start({}, arguments, folder, null);
    close(null);
    return pid;
}

int run_with_reader_gone(const std::vector<std::string>& arguments,
                         const std::filesystem::path& folder) {
    std::array<int, 2> pipe_ends{};
    if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    close(pipe_ends[0]);
    const pid_t pid = start({}, arguments, folder, pipe_ends[1]);
    close(pipe_ends[1]);
    return wait_for(pid);
}

int in_private_mount_namespace(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        const bool isolated = unshare(CLONE_NEWNS) == 0 &&
                              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        _exit(isolated ? body() : 77);
    }
    const int status = wait_for(child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
