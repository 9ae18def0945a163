// Starting, reading and ending the server processes of the network tests.
#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace zarvo::test {
namespace {

[[noreturn]] void raiseErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

ServerProcess::ServerProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& errorLog) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        raiseErrno("pipe2");
    }
    // Everything the child needs is prepared here: after fork only system calls are safe.
    std::vector<std::string> copies;
    copies.push_back(program.string());
    copies.insert(copies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : copies) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::string errorLogText = errorLog.string();
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        int saved = errno;
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        throw std::system_error(saved, std::generic_category(), "fork");
    }
    if (pid_ == 0) {
        // A crashed or aborted test must not leave its servers behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(1);
        }
        ::dup2(pipeEnds[1], 1);
        int error = ::open(errorLogText.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (error >= 0) {
            ::dup2(error, 2);
        }
        int input = ::open("/dev/null", O_RDONLY);
        if (input >= 0) {
            ::dup2(input, 0);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    output_ = pipeEnds[0];
}

std::string ServerProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw std::runtime_error("server printed no line in time");
        }
        pollfd entry{output_, POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            raiseErrno("poll");
        }
        if (ready <= 0) {
            continue;
        }
        char block[512];
        ssize_t got = ::read(output_, block, sizeof block);
        if (got == 0) {
            throw std::runtime_error("server ended before printing a line");
        }
        if (got > 0) {
            buffered_.append(block, static_cast<size_t>(got));
        }
    }
}

bool ServerProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ServerProcess::stop() noexcept {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
}

int freeLoopbackPort() {
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        raiseErrno("socket");
    }
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int saved = errno;
        ::close(socket);
        throw std::system_error(saved, std::generic_category(), "bind");
    }
    ::close(socket);
    return ntohs(address.sin_port);
}

bool acceptsConnections(int port) {
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return false;
    }
    sockaddr_in address = loopbackAddress(port);
    bool connected = ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

}  // namespace zarvo::test
