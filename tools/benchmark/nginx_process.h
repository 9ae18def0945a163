// Debian's nginx serving one folder on a free loopback port, with a generated
// configuration and every file of its own under a private prefix folder.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace zarvo::benchmark {

class NginxProcess {
public:
    // Starts /usr/sbin/nginx in the foreground; waits until it accepts
    // connections. Raises std::runtime_error.
    NginxProcess(const std::filesystem::path& root, const std::filesystem::path& prefix);
    ~NginxProcess();
    NginxProcess(const NginxProcess&) = delete;
    NginxProcess& operator=(const NginxProcess&) = delete;

    // "http://127.0.0.1:<port>" followed by path.
    std::string url(const std::string& path) const;
    // One line per answer: its body bytes, status and request line.
    std::filesystem::path accessLog() const { return prefix_ / "access.log"; }

private:
    bool start(const std::filesystem::path& root);
    void stop() noexcept;

    std::filesystem::path prefix_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace zarvo::benchmark
