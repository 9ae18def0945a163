// A stand-in for the application core. It records what it was started with and
// then behaves as the script named by ZARVO_TEST_CORE_SCRIPT says: confirm its
// first frame, confirm wrongly, exit, hang or crash. Without a script it
// confirms and exits shortly after, like a well-behaved core.
//
// Script (JSON): {"record": "<file to append one JSON line per start to>",
//                 "normal": <behaviour>, "software": <behaviour with --software-renderer>}
// Behaviour: {"action": "ready" | "ready-exit" | "wrong" | "newline" | "oversized" | "exit" | "hang" | "crash",
//             "code": <exit code for "exit">, "delayMs": <pause before acting>}
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/processes.h"
#include "test_core_system.h"

namespace {

constexpr auto kLongestHang = std::chrono::seconds(60);

std::string optionValue(const std::vector<std::string>& arguments, const std::string& name) {
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == name) {
            return arguments[i + 1];
        }
    }
    return {};
}

bool hasFlag(const std::vector<std::string>& arguments, const std::string& name) {
    return std::find(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(), name) != arguments.end();
}

Json::Value record(const std::vector<std::string>& arguments) {
    Json::Value entry(Json::objectValue);
    entry["argv"] = Json::Value(Json::arrayValue);
    for (const std::string& argument : arguments) {
        entry["argv"].append(argument);
    }
    std::error_code error;
    entry["cwd"] = zarvo::platform::pathToUtf8(std::filesystem::current_path(error));
    entry["env"] = Json::Value(Json::objectValue);
    for (const auto& [name, value] : environmentEntries()) {
        entry["env"][name] = value;
    }
    entry["pid"] = static_cast<Json::Int64>(zarvo::platform::currentProcessId());
    recordInheritance(entry);
    return entry;
}

void appendLine(const std::string& path, const std::string& line) {
    std::ofstream out(zarvo::platform::pathFromUtf8(path), std::ios::binary | std::ios::app);
    out << line << "\n";
}

// Written under another name and moved into place, so a reader never sees half of it.
void writeReadyFile(const std::string& path, const std::string& bytes) {
    const std::filesystem::path target = zarvo::platform::pathFromUtf8(path);
    std::filesystem::path temporary = target;
    temporary += ".writing";
    {
        std::ofstream out(temporary, std::ios::binary);
        out << bytes;
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
}

[[noreturn]] void hang() {
    std::this_thread::sleep_for(kLongestHang);
    std::_Exit(3);
}

Json::Value readScript() {
    const char* path = std::getenv("ZARVO_TEST_CORE_SCRIPT");
    if (path == nullptr) {
        return Json::Value(Json::objectValue);
    }
    std::ifstream in(zarvo::platform::pathFromUtf8(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    Json::Value script;
    std::string errors;
    Json::CharReaderBuilder builder;
    std::istringstream stream(text.str());
    if (!Json::parseFromStream(builder, stream, &script, &errors)) {
        std::_Exit(99);
    }
    return script;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = zarvo::platform::commandLineArguments(argc, argv);
    Json::Value script = readScript();
    if (script.isMember("record")) {
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        appendLine(script["record"].asString(), Json::writeString(writer, record(arguments)));
    }

    const bool software = hasFlag(arguments, "--software-renderer");
    Json::Value behaviour = script[software ? "software" : "normal"];
    const std::string action = behaviour.isMember("action") ? behaviour["action"].asString() : "ready";
    std::this_thread::sleep_for(std::chrono::milliseconds(behaviour["delayMs"].asInt()));

    const std::string readyFile = optionValue(arguments, "--ready-file");
    const std::string token = optionValue(arguments, "--ready-token");
    if (action == "ready" || action == "ready-exit") {
        writeReadyFile(readyFile, token);
        if (action == "ready") {
            // A real core keeps running; a short stay is enough and leaves no stray processes.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return 0;
    }
    if (action == "wrong") {
        std::string wrong = token;
        wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
        writeReadyFile(readyFile, wrong);
        hang();
    }
    if (action == "newline") {
        writeReadyFile(readyFile, token + "\n");
        hang();
    }
    if (action == "oversized") {
        writeReadyFile(readyFile, std::string(200, 'a'));
        hang();
    }
    if (action == "exit") {
        return behaviour["code"].asInt();
    }
    if (action == "hang") {
        hang();
    }
    if (action == "crash") {
        crash();
    }
    return 98;
}
