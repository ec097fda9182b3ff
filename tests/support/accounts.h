// Users and groups made for one test (as root), removed after it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class Accounts {
public:
    Accounts() = default;
    ~Accounts();
    Accounts(const Accounts&) = delete;
    Accounts& operator=(const Accounts&) = delete;

    // Makes a "user" or a "group" named for this test process, with useradd's
    // or groupadd's options; returns its id (-1 where it could not be made).
    id_t add(const std::string& kind, const std::string& what, const std::string& options = "");
    // The name of the account made for `what`.
    static std::string name(const std::string& what);

private:
    std::vector<std::string> removals_;  // run last first
};
