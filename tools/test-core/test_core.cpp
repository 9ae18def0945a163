// A stand-in for the application core. It records what it was started with and
// then behaves as the script named by ZARVO_TEST_CORE_SCRIPT says: confirm its
// first frame, confirm wrongly, exit, hang or crash. Without a script it
// confirms and exits shortly after, like a well-behaved core.
//
// Script (JSON): {"record": "<file to append one JSON line per start to>",
//                 "normal": <behaviour>, "software": <behaviour with --software-renderer>}
// Behaviour: {"action": "ready" | "ready-exit" | "wrong" | "newline" | "oversized" | "exit" | "hang" | "crash",
//             "code": <exit code for "exit">, "delayMs": <pause before acting>}
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <json/json.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

constexpr auto kLongestHang = std::chrono::seconds(60);

std::string optionValue(int argc, char** argv, const std::string& name) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (name == argv[i]) {
            return argv[i + 1];
        }
    }
    return {};
}

bool hasFlag(int argc, char** argv, const std::string& name) {
    for (int i = 1; i < argc; ++i) {
        if (name == argv[i]) {
            return true;
        }
    }
    return false;
}

std::string linkTarget(const std::string& path) {
    char buffer[PATH_MAX];
    ssize_t size = ::readlink(path.c_str(), buffer, sizeof buffer);
    return size < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(size));
}

Json::Value record(int argc, char** argv) {
    Json::Value entry(Json::objectValue);
    entry["argv"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < argc; ++i) {
        entry["argv"].append(argv[i]);
    }
    char cwd[PATH_MAX];
    entry["cwd"] = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
    entry["env"] = Json::Value(Json::objectValue);
    for (char** item = environ; *item != nullptr; ++item) {
        const char* equals = std::strchr(*item, '=');
        if (equals != nullptr) {
            entry["env"][std::string(*item, static_cast<std::size_t>(equals - *item))] = equals + 1;
        }
    }
    entry["fds"] = Json::Value(Json::arrayValue);
    if (DIR* folder = ::opendir("/proc/self/fd")) {
        int own = ::dirfd(folder);
        while (dirent* item = ::readdir(folder)) {
            int descriptor = std::atoi(item->d_name);
            if (item->d_name[0] != '.' && descriptor > 2 && descriptor != own) {
                entry["fds"].append(linkTarget("/proc/self/fd/" + std::string(item->d_name)));
            }
        }
        ::closedir(folder);
    }
    entry["std"] = Json::Value(Json::arrayValue);
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
        entry["std"].append(linkTarget("/proc/self/fd/" + std::to_string(descriptor)));
    }
    entry["sessionLeader"] = ::getsid(0) == ::getpid();
    entry["pid"] = static_cast<Json::Int64>(::getpid());
    return entry;
}

void appendLine(const std::string& path, const std::string& line) {
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file >= 0) {
        std::string text = line + "\n";
        (void)::write(file, text.data(), text.size());
        ::close(file);
    }
}

// Written under another name and moved into place, so a reader never sees half of it.
void writeReadyFile(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".writing";
    {
        std::ofstream out(temporary, std::ios::binary);
        out << bytes;
    }
    std::rename(temporary.c_str(), path.c_str());
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
    std::ifstream in(path, std::ios::binary);
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
    Json::Value script = readScript();
    if (script.isMember("record")) {
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        appendLine(script["record"].asString(), Json::writeString(writer, record(argc, argv)));
    }

    const bool software = hasFlag(argc, argv, "--software-renderer");
    Json::Value behaviour = script[software ? "software" : "normal"];
    const std::string action = behaviour.isMember("action") ? behaviour["action"].asString() : "ready";
    std::this_thread::sleep_for(std::chrono::milliseconds(behaviour["delayMs"].asInt()));

    const std::string readyFile = optionValue(argc, argv, "--ready-file");
    const std::string token = optionValue(argc, argv, "--ready-token");
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
        rlimit none{0, 0};
        ::setrlimit(RLIMIT_CORE, &none);
        ::signal(SIGSEGV, SIG_DFL);
        ::raise(SIGSEGV);
    }
    return 98;
}
