// Running another program of the system (diff, for --diff) with our streams.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace platform {

Outcome<int> run_program(std::span<const std::string> arguments) {
    std::vector<char*> words;
    for (const std::string& argument : arguments) words.push_back(const_cast<char*>(argument.c_str()));
    words.push_back(nullptr);
    // The signals this run ignores take their usual course in the program:
    // it may end at a closed pipe or the interrupt key; it changes nothing.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal_number : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP}) sigaddset(&defaults, signal_number);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    const int error = ::posix_spawnp(&child, words.front(), nullptr, &attributes, words.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) return posix::error_of(error);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return posix::call_error();
    }
    if (!WIFEXITED(status)) return posix::error_of(EINTR);
    return WEXITSTATUS(status);
}

}  // namespace platform
