// A server program started by a test: its standard output readable line by
// line, ended (and reaped) when the object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace zarvo::test {

class ServerProcess {
public:
    // Starts program with arguments; standard error goes to errorLog. The child
    // is killed if the test process dies first. Raises std::system_error.
    ServerProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                  const std::filesystem::path& errorLog);
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The next line of standard output, without its line feed; raises
    // std::runtime_error when none arrives in time or the output ends.
    std::string readLine(std::chrono::milliseconds timeout);
    // False once the process has ended.
    bool running();
    // SIGTERM, then SIGKILL after two seconds; waits for the process.
    void stop() noexcept;

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffered_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();
// Whether something accepts connections on 127.0.0.1:port.
bool acceptsConnections(int port);

}  // namespace zarvo::test
