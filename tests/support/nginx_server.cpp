// Generates a private nginx configuration and runs nginx in the foreground
// as one process, so the test owns it and its destructor ends it.
#include "support/nginx_server.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace zarvo::test {
namespace {

std::string configuration(const std::filesystem::path& folder, const std::filesystem::path& root, int port) {
    std::string dir = folder.string();
    std::string text;
    text += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    // Started as root, nginx would otherwise serve as a user that cannot read the test folders.
    if (::geteuid() == 0) {
        text += "user root;\n";
    }
    text += "pid " + dir + "/nginx.pid;\n";
    text += "error_log " + dir + "/error.log warn;\n";
    text += "events { worker_connections 64; }\n";
    text += "http {\n";
    text += "  access_log off;\n";
    text += "  default_type application/octet-stream;\n";
    for (const char* name : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        text += std::string("  ") + name + "_temp_path " + dir + "/" + name + ";\n";
    }
    text += "  server {\n";
    text += "    listen 127.0.0.1:" + std::to_string(port) + ";\n";
    text += "    root " + std::filesystem::absolute(root).string() + ";\n";
    text += "    location / { }\n";
    text += "  }\n";
    text += "}\n";
    return text;
}

}  // namespace

NginxServer::NginxServer(const std::filesystem::path& root) {
    // The port is free when chosen but may be taken before nginx binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (tryStart(root)) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start; see " + (folder_ / "error.log").string());
}

NginxServer::~NginxServer() { process_.reset(); }

bool NginxServer::tryStart(const std::filesystem::path& root) {
    port_ = freeLoopbackPort();
    auto config = folder_ / "nginx.conf";
    {
        std::ofstream out(config, std::ios::binary | std::ios::trunc);
        out << configuration(folder_.path(), root, port_);
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
