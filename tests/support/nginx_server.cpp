// Writes a private nginx configuration and runs nginx in the foreground
// as one process, so the test owns it and its destructor ends it.
#include "support/nginx_server.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"

namespace zarvo::test {
namespace {

// The generator that tools/run-local uses too.
std::string configuration(const std::filesystem::path& folder, const std::filesystem::path& root, int port,
                          bool ranges) {
    std::vector<std::string> arguments = {std::string(ZARVO_SOURCE_DIR) + "/tools/test-servers/nginx_config.py",
                                          "--prefix", folder.string(), "--root", root.string(), "--port",
                                          std::to_string(port)};
    if (!ranges) {
        arguments.push_back("--no-ranges");
    }
    ChildResult generated = runChild("/usr/bin/python3", arguments);
    if (generated.exitCode != 0) {
        throw std::runtime_error("nginx_config.py failed: " + generated.standardError);
    }
    return generated.standardOutput;
}

}  // namespace

NginxServer::NginxServer(const std::filesystem::path& root, bool ranges) {
    // The port is free when chosen but may be taken before nginx binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (tryStart(root, ranges)) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start; see " + (folder_ / "error.log").string());
}

NginxServer::~NginxServer() { process_.reset(); }

bool NginxServer::tryStart(const std::filesystem::path& root, bool ranges) {
    port_ = freeLoopbackPort();
    auto config = folder_ / "nginx.conf";
    {
        std::ofstream out(config, std::ios::binary | std::ios::trunc);
        out << configuration(folder_.path(), root, port_, ranges);
    }
    process_ = std::make_unique<ServerProcess>(
        program(),
        std::vector<std::string>{"-p", folder_.path().string() + "/", "-c", config.string(), "-e",
                                 (folder_ / "error.log").string()},
        folder_ / "stderr.log");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process_->running()) {
            process_.reset();
            return false;
        }
        if (acceptsConnections(port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    process_.reset();
    return false;
}

std::string NginxServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace zarvo::test
