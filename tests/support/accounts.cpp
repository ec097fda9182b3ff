#include "support/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

Accounts::~Accounts() {
    for (auto removal = removals_.rbegin(); removal != removals_.rend(); ++removal) {
        if (std::system(removal->c_str()) != 0) std::cerr << "failed: " << *removal << "\n";
    }
}

std::string Accounts::name(const std::string& what) {
    return "tesrak-t-" + what + "-" + std::to_string(getpid());
}

id_t Accounts::add(const std::string& kind, const std::string& what, const std::string& options) {
    removals_.push_back(kind + "del " + name(what) + " >/dev/null 2>&1");
    if (std::system((kind + "add " + options + " " + name(what) + " >/dev/null").c_str()) != 0) return -1;
    if (kind == "group") {
        const group* made = getgrnam(name(what).c_str());
        return made != nullptr ? made->gr_gid : static_cast<id_t>(-1);
    }
    const passwd* made = getpwnam(name(what).c_str());
    return made != nullptr ? made->pw_uid : static_cast<id_t>(-1);
}
