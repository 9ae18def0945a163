// The benchmark's file server: one nginx process, no master, no daemon, so the
// benchmark owns it and ends it.
#include "nginx_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace zarvo::benchmark {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return connected;
}

std::string configuration(const std::filesystem::path& prefix, const std::filesystem::path& root, int port) {
    const std::string dir = prefix.string();
    std::string text = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    // As root, nginx would otherwise switch to a user that cannot read the benchmark's folder.
    if (::geteuid() == 0) {
        text += "user root;\n";
    }
    text += "pid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log warn;\n";
    // The bytes of every answer, which the update rows add up as the bytes on the wire.
    text += "events { worker_connections 64; }\nhttp {\n  log_format sent '$body_bytes_sent $status $request';\n";
    text += "  access_log " + dir + "/access.log sent;\n  sendfile on;\n";
    text += "  default_type application/octet-stream;\n";
    for (const char* name : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        text += std::string("  ") + name + "_temp_path " + dir + "/" + name + ";\n";
    }
    text += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n";
    text += "    root " + std::filesystem::absolute(root).string() + ";\n    location / { }\n  }\n}\n";
    return text;
}

}  // namespace

NginxProcess::NginxProcess(const std::filesystem::path& root, const std::filesystem::path& prefix) : prefix_(prefix) {
    std::filesystem::create_directories(prefix_);
    // A port free a moment ago may be taken before nginx binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start(root)) {
            return;
        }
    }
    throw std::runtime_error("nginx did not start; see " + (prefix_ / "error.log").string());
}

NginxProcess::~NginxProcess() { stop(); }

std::string NginxProcess::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

bool NginxProcess::start(const std::filesystem::path& root) {
    port_ = freePort();
    const auto config = prefix_ / "nginx.conf";
    {
        std::ofstream out(config, std::ios::binary | std::ios::trunc);
        out << configuration(prefix_, root, port_);
    }
    const std::string prefixArgument = prefix_.string() + "/";
    const std::string configArgument = config.string();
    const std::string errorArgument = (prefix_ / "error.log").string();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::execl("/usr/sbin/nginx", "nginx", "-p", prefixArgument.c_str(), "-c", configArgument.c_str(), "-e",
                errorArgument.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (accepts(port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return false;
}

void NginxProcess::stop() noexcept {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

}  // namespace zarvo::benchmark
