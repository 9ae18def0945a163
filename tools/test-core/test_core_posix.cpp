#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "test_core_system.h"

extern char** environ;

namespace {

std::string linkTarget(const std::string& path) {
    char buffer[PATH_MAX];
    ssize_t size = ::readlink(path.c_str(), buffer, sizeof buffer);
    return size < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(size));
}

}  // namespace

std::vector<std::pair<std::string, std::string>> environmentEntries() {
    std::vector<std::pair<std::string, std::string>> entries;
    for (char** item = environ; *item != nullptr; ++item) {
        if (const char* equals = std::strchr(*item, '=')) {
            entries.emplace_back(std::string(*item, static_cast<std::size_t>(equals - *item)), equals + 1);
        }
    }
    return entries;
}

// The open descriptors beyond the three standard ones, where they lead, and
// whether the core leads a session of its own.
void recordInheritance(Json::Value& entry) {
    entry["fds"] = Json::Value(Json::arrayValue);
    if (DIR* folder = ::opendir("/proc/self/fd")) {
        int own = ::dirfd(folder);
        while (dirent* item = ::readdir(folder)) {
            int descriptor = std::atoi(item->d_name);
            if (item->d_name[0] != '.' && descriptor > 2 && descriptor != own) {
                entry["fds"].append(linkTarget("/proc/self/fd/" + std::string(item->d_name)));
            }
        }
        ::closedir(folder);
    }
    entry["std"] = Json::Value(Json::arrayValue);
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
        entry["std"].append(linkTarget("/proc/self/fd/" + std::to_string(descriptor)));
    }
    entry["sessionLeader"] = ::getsid(0) == ::getpid();
}

void crash() {
    rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::signal(SIGSEGV, SIG_DFL);
    ::raise(SIGSEGV);
    std::_Exit(134);
}
