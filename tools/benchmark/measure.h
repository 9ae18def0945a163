// Runs one measured operation in a child process and reports its wall time and
// the child's peak resident memory, so every operation starts from the same
// small parent and none inherits another's high-water mark.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zarvo::benchmark {

struct Measurement {
    double seconds = 0;
    long peakKiB = 0;  // the child's maximum resident set size
    bool ok = false;
    std::string failure;  // what went wrong when !ok
};

// Runs work in a forked child; an exception there makes the measurement fail.
Measurement measureInChild(const std::function<void()>& work);
// Runs a program (looked up in PATH) with its standard output discarded.
Measurement measureCommand(const std::vector<std::string>& arguments, const std::filesystem::path& workingDirectory = {});
// Runs a preparing command; raises std::runtime_error naming what failed.
void runOrThrow(const std::vector<std::string>& arguments, const char* what);
// The best of several runs: the shortest time, the highest peak. before runs
// ahead of every run, unmeasured (it clears what the previous run left).
Measurement bestOf(int runs, const std::function<void()>& before, const std::function<Measurement()>& measure);

}  // namespace zarvo::benchmark
