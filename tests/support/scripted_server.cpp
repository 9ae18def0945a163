// Starts the scripted python3 server and talks to it through its script file
// and its request log.
#include "support/scripted_server.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zarvo::test {
namespace {

std::filesystem::path pythonInterpreter() {
    // Debian's interpreter when present: the tests rely on its standard library only.
    std::filesystem::path system("/usr/bin/python3");
    return std::filesystem::exists(system) ? system : std::filesystem::path("python3");
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The log carries each body byte as one Latin-1 character, which JsonCpp hands
// back as UTF-8: one or two bytes per character.
std::string bytesFromLatin1Text(const std::string& utf8) {
    std::string bytes;
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80 || i + 1 == utf8.size()) {
            bytes.push_back(static_cast<char>(lead));
        } else {
            auto next = static_cast<unsigned char>(utf8[++i]);
            bytes.push_back(static_cast<char>(((lead & 0x1f) << 6) | (next & 0x3f)));
        }
    }
    return bytes;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalIgnoringCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

ScriptedServer::ScriptedServer(const ScriptedServerOptions& options) {
    writeScript();
    std::vector<std::string> arguments = {
        std::string(ZARVO_SOURCE_DIR) + "/tools/test-servers/scripted_server.py",
        "--script", (folder_ / "script.json").string(),
        "--log", (folder_ / "requests.jsonl").string(),
    };
    if (!options.certificate.empty()) {
        scheme_ = "https";
        arguments.insert(arguments.end(), {"--cert", options.certificate.string(), "--key", options.key.string()});
    }
    process_ = std::make_unique<ServerProcess>(pythonInterpreter(), arguments, folder_ / "server.log");
    std::string line = process_->readLine(std::chrono::seconds(20));
    if (!line.starts_with("PORT ")) {
        throw std::runtime_error("scripted server printed: " + line);
    }
    port_ = std::stoi(line.substr(5));
}

ScriptedServer::~ScriptedServer() { process_.reset(); }

std::string ScriptedServer::url(const std::string& path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedServer::answer(const std::string& path, const Json::Value& answers) {
    if (answers.isArray()) {
        script_[path] = answers;
    } else {
        script_[path] = Json::Value(Json::arrayValue);
        script_[path].append(answers);
    }
    writeScript();
}

void ScriptedServer::answer(const std::string& path, std::initializer_list<Json::Value> answers) {
    Json::Value list(Json::arrayValue);
    for (const auto& item : answers) {
        list.append(item);
    }
    answer(path, list);
}

void ScriptedServer::writeScript() {
    // The server reads the script on every request; it must never see half a file.
    Json::StreamWriterBuilder builder;
    auto temporary = folder_ / "script.json.tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << Json::writeString(builder, script_);
    }
    std::filesystem::rename(temporary, folder_ / "script.json");
}

std::vector<RecordedRequest> ScriptedServer::requests() const {
    std::vector<RecordedRequest> result;
    std::ifstream in(folder_ / "requests.jsonl", std::ios::binary);
    std::string line;
    Json::CharReaderBuilder builder;
    while (std::getline(in, line)) {
        Json::Value entry;
        std::string errors;
        std::istringstream stream(line);
        if (!Json::parseFromStream(builder, stream, &entry, &errors)) {
            throw std::runtime_error("unreadable request log line: " + line);
        }
        RecordedRequest request;
        request.method = entry["method"].asString();
        request.path = entry["path"].asString();
        for (const auto& pair : entry["headers"]) {
            request.headers.emplace_back(pair[0].asString(), pair[1].asString());
        }
        request.body = bytesFromLatin1Text(entry["body"].asString());
        result.push_back(std::move(request));
    }
    return result;
}

std::vector<RecordedRequest> ScriptedServer::requestsFor(const std::string& path) const {
    std::vector<RecordedRequest> result;
    for (auto& request : requests()) {
        if (request.path.substr(0, request.path.find('?')) == path) {
            result.push_back(std::move(request));
        }
    }
    return result;
}

Json::Value jsonAnswer(int status, const std::string& body) {
    Json::Value answer;
    answer["status"] = status;
    answer["body"] = body;
    answer["headers"] = Json::Value(Json::arrayValue);
    answer["headers"].append(Json::Value(Json::arrayValue));
    answer["headers"][0].append("Content-Type");
    answer["headers"][0].append("application/json");
    return answer;
}

Json::Value redirectAnswer(int status, const std::string& location) {
    Json::Value answer;
    answer["status"] = status;
    answer["location"] = location;
    return answer;
}

}  // namespace zarvo::test
