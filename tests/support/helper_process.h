// A second copy of the running test program that holds a lock file or an open
// file until told to let go, for tests that need a real other process.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace zarvo::test {

// Modes, each answered with one line on the helper's standard output:
//   "hold": take the exclusive lock on path (creating its folder), say "held"
//           or "busy", keep it until input ends;
//   "open": open the existing file at path for reading, say "open" (or
//           "error"), keep it open until input ends;
//   "wait": say "ready" and wait until input ends, holding nothing of its own.
class HelperProcess {
public:
    HelperProcess(const std::string& mode, const std::filesystem::path& path);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The helper's next line, or "" when it ended or stayed silent for 20 s.
    std::string readLine();
    // Ends its input and returns its exit code.
    int finish();
    void kill();

private:
    int reap();

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

}  // namespace zarvo::test
