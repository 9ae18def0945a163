// The scripted loopback HTTP(S) server of the network tests: a real python3
// process (tools/test-servers/scripted_server.py) whose answers the test sets
// and whose received requests it reads back.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace zarvo::test {

struct RecordedRequest {
    std::string method;
    std::string path;  // with the query
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string body;

    // The first header of that name (any letter case).
    std::optional<std::string> header(std::string_view name) const;
};

struct ScriptedServerOptions {
    // Both set: the server speaks TLS with this certificate chain and key.
    std::filesystem::path certificate;
    std::filesystem::path key;
};

class ScriptedServer {
public:
    // Starts the server on a free loopback port and waits until it listens.
    explicit ScriptedServer(const ScriptedServerOptions& options = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" (https with TLS), the path appended.
    std::string url(const std::string& path) const;
    std::string origin() const { return url(""); }

    // Sets the answers for one path (see the server script for the members);
    // the path's list starts over. Other paths keep theirs.
    void answer(const std::string& path, const Json::Value& answers);
    void answer(const std::string& path, std::initializer_list<Json::Value> answers);
    // Every request received so far, oldest first.
    std::vector<RecordedRequest> requests() const;
    // Requests whose path (query cut off) equals path.
    std::vector<RecordedRequest> requestsFor(const std::string& path) const;

private:
    void writeScript();

    TempDir folder_;
    Json::Value script_{Json::objectValue};
    std::string scheme_ = "http";
    int port_ = 0;
    std::unique_ptr<ServerProcess> process_;
};

// Answer helpers for scripts.
Json::Value jsonAnswer(int status, const std::string& body);
Json::Value redirectAnswer(int status, const std::string& location);

}  // namespace zarvo::test
