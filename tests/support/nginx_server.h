// Debian's nginx as a real static file server for one folder on a loopback
// port, so downloads meet real Range, 206 and 416 behaviour. The configuration
// is the one tools/run-local serves a release with.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace zarvo::test {

class NginxServer {
public:
    // Serves root on a free port with its own configuration, pid, temporary
    // and log files; waits until it accepts connections. Without ranges it
    // ignores Range requests. Raises std::runtime_error.
    explicit NginxServer(const std::filesystem::path& root, bool ranges = true);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" with the path appended.
    std::string url(const std::string& path) const;

    // Every request with its status, body bytes and Range header, one a line.
    std::filesystem::path accessLog() const { return folder_ / "access.log"; }

    static std::filesystem::path program() { return "/usr/sbin/nginx"; }
    static bool available() { return std::filesystem::exists(program()); }

private:
    bool tryStart(const std::filesystem::path& root, bool ranges);

    TempDir folder_;
    int port_ = 0;
    std::unique_ptr<ServerProcess> process_;
};

}  // namespace zarvo::test
