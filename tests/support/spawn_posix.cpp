#include "support/spawn.h"

#include <fcntl.h>
#include <poll.h>
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
            const std::filesystem::path& folder, int output, int errors = STDERR_FILENO) {
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
    if (errors != STDERR_FILENO) posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
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
    std::array<int, 2> out{}, err{};
    if (pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = start(launcher, arguments, folder, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    // Both streams are read as they come, so that neither pipe fills up.
    std::array<std::string, 2> texts;
    std::array<pollfd, 2> ends{pollfd{out[0], POLLIN, 0}, pollfd{err[0], POLLIN, 0}};
    std::array<char, 4096> buffer;
    for (int open_ends = 2; open_ends > 0;) {
        if (poll(ends.data(), ends.size(), -1) < 0) continue;
        for (std::size_t i = 0; i < ends.size(); ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0) continue;
            const ssize_t got = read(ends[i].fd, buffer.data(), buffer.size());
            if (got > 0) texts[i].append(buffer.data(), static_cast<std::size_t>(got));
            if (got == 0) {
                close(ends[i].fd);
                ends[i].fd = -1;
                --open_ends;
            }
        }
    }
    const int status = wait_for(pid);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), texts[0], texts[1]};
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
