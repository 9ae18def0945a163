// Artifact downloads against real servers on loopback: nginx for genuine
// Range semantics, the scripted server for faults and recorded headers.
#include "net/download.h"

#include "app/update_manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "log/logger.h"
#include "net/url_policy.h"
#include "support/curl_environment.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::ScriptedServer;
using test::TempDir;
using test::writeFile;

constexpr const char* kInterrupted = "Загрузка прервалась. Повторный запуск продолжит её.";

// Bytes that do not repeat in short cycles, so an offset mistake changes the digest.
std::string sampleBytes(size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}

Json::Value artifactFor(const std::string& url, const std::string& bytes, bool withSize = true) {
    Json::Value artifact;
    artifact["url"] = url;
    artifact["sha256"] = hashBytes(bytes, "sha256");
    if (withSize) {
        artifact["size"] = static_cast<Json::UInt64>(bytes.size());
    }
    return artifact;
}

Json::Value fileAnswer(const fs::path& file, bool range = true) {
    Json::Value answer;
    answer["bodyFile"] = file.string();
    answer["range"] = range;
    return answer;
}

void expectError(const std::function<void()>& action, const std::string& code, const std::string& message,
                 int status = 0) {
    try {
        action();
        ADD_FAILURE() << "no error, expected " << code << " " << message;
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(std::string(error.what()), message);
        EXPECT_EQ(error.status(), status);
    }
}

void download(const Json::Value& artifact, const fs::path& target, const std::atomic<bool>* cancel = nullptr,
              const DownloadProgress& progress = {}, const std::string& token = "", const std::string& origin = "") {
    downloadArtifact(readArtifact(artifact), target, token, origin, true, cancel, progress);
}

class Download : public ::testing::Test {
protected:
    fs::path target() const { return folder_ / "cache" / "core.zip"; }
    fs::path partial() const { return folder_ / "cache" / "core.zip.part"; }
    // Puts the release file where the servers read it.
    fs::path publish(const std::string& bytes) {
        fs::create_directories(folder_ / "www");
        writeFile(folder_ / "www" / "core.zip", bytes);
        return folder_ / "www" / "core.zip";
    }

    TempDir folder_;
};

TEST_F(Download, FetchesFromNginxWithProgressAndLeavesOnlyTheTarget) {
    if (!test::NginxServer::available()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    std::string bytes = sampleBytes(3 * 1024 * 1024 + 17);
    publish(bytes);
    test::NginxServer nginx(folder_ / "www");

    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    download(artifactFor(nginx.url("/core.zip"), bytes), target(), nullptr,
             [&](std::uint64_t done, std::uint64_t total) { reports.emplace_back(done, total); });

    EXPECT_EQ(readFile(target()), bytes);
    EXPECT_FALSE(fs::exists(partial()));
    EXPECT_TRUE(fs::exists(folder_ / "cache" / "core.zip.lock")) << "the lock file stays";
    ASSERT_FALSE(reports.empty());
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].second, bytes.size());
        if (i > 0) {
            EXPECT_GE(reports[i].first, reports[i - 1].first);
        }
    }
    EXPECT_EQ(reports.back().first, bytes.size());

    // A partial file of 1 MiB is resumed; a complete one meets nginx's 416 and is verified.
    fs::remove(target());
    writeFile(partial(), bytes.substr(0, 1048576));
    reports.clear();
    download(artifactFor(nginx.url("/core.zip"), bytes, false), target(), nullptr,
             [&](std::uint64_t done, std::uint64_t total) { reports.emplace_back(done, total); });
    EXPECT_EQ(readFile(target()), bytes);
    ASSERT_FALSE(reports.empty());
    EXPECT_GE(reports.front().first, 1048576u) << "progress counts the resumed bytes";
    EXPECT_EQ(reports.back().second, bytes.size()) << "without a size, total is offset plus the 206 length";

    fs::remove(target());
    writeFile(partial(), bytes);
    download(artifactFor(nginx.url("/core.zip"), bytes), target());
    EXPECT_EQ(readFile(target()), bytes);
    EXPECT_FALSE(fs::exists(partial()));
}

TEST_F(Download, CacheHitMakesNoRequestAndAWrongTargetIsReplaced) {
    std::string bytes = sampleBytes(4000);
    auto file = publish(bytes);
    ScriptedServer server;
    server.answer("/core.zip", {fileAnswer(file)});
    fs::create_directories(target().parent_path());

    writeFile(target(), bytes);
    download(artifactFor(server.url("/core.zip"), bytes), target());
    download(artifactFor(server.url("/core.zip"), bytes, false), target());
    EXPECT_TRUE(server.requests().empty());

    writeFile(target(), "older release");
    download(artifactFor(server.url("/core.zip"), bytes), target());
    EXPECT_EQ(readFile(target()), bytes);
    EXPECT_EQ(server.requests().size(), 1u);
}

// The interface package and the pre-starter bundle are trusted on this digest
// alone: right-sized wrong bytes in the target (the cache hit) or in a
// complete partial file (the 416 answer) must never be taken.
TEST_F(Download, RightSizeWrongBytesAreNeverTaken) {
    const std::string bytes = sampleBytes(4000);
    const std::string impostor = sampleBytes(4000, 2);
    auto file = publish(bytes);
    fs::create_directories(target().parent_path());
    {
        ScriptedServer server;
        server.answer("/core.zip", {fileAnswer(file)});
        writeFile(target(), impostor);
        download(artifactFor(server.url("/core.zip"), bytes), target());
        EXPECT_EQ(hashFile(target(), "sha256"), hashBytes(bytes, "sha256")) << "the cache hit took the wrong bytes";
        EXPECT_EQ(server.requests().size(), 1u);
        fs::remove(target());
    }
    {
        // The server answers the resume with 416; the partial file fails its
        // check and the second attempt fetches the file from zero.
        ScriptedServer server;
        server.answer("/core.zip", {fileAnswer(file)});
        writeFile(partial(), impostor);
        download(artifactFor(server.url("/core.zip"), bytes), target());
        EXPECT_EQ(hashFile(target(), "sha256"), hashBytes(bytes, "sha256")) << "the 416 took the wrong bytes";
        EXPECT_FALSE(fs::exists(partial()));
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].header("Range"), "bytes=4000-");
        EXPECT_FALSE(requests[1].header("Range"));
        fs::remove(target());
    }
    {
        // A server that only has the wrong bytes: refused, and nothing kept.
        ScriptedServer server;
        server.answer("/core.zip", {fileAnswer(publish(impostor))});
        writeFile(partial(), impostor);
        expectError([&] { download(artifactFor(server.url("/core.zip"), bytes), target()); }, "HASH_MISMATCH",
                    "Контрольная сумма загрузки не совпала");
        EXPECT_FALSE(fs::exists(target()));
        EXPECT_FALSE(fs::exists(partial()));
    }
}

TEST_F(Download, CutTransferKeepsItsPartialFileAndTheNextRunResumes) {
    std::string bytes = sampleBytes(600000);
    auto file = publish(bytes);
    ScriptedServer server;
    Json::Value cut = fileAnswer(file);
    cut["cutAfter"] = 250000;
    server.answer("/core.zip", {cut, fileAnswer(file)});
    auto artifact = artifactFor(server.url("/core.zip"), bytes);

    expectError([&] { download(artifact, target()); }, "DOWNLOAD_FAILED", kInterrupted);
    EXPECT_FALSE(fs::exists(target()));
    EXPECT_EQ(readFile(partial()), bytes.substr(0, 250000));

    download(artifact, target());
    EXPECT_EQ(readFile(target()), bytes);
    EXPECT_FALSE(fs::exists(partial()));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].header("Range"));
    EXPECT_EQ(requests[1].header("Range"), "bytes=250000-");
    EXPECT_EQ(requests[1].header("User-Agent"), "zarvolauncher/0.1");
    EXPECT_FALSE(requests[1].header("Authorization"));

    // The digest covers the kept part as it is on disk: a damaged one is caught
    // after the resume, and the file is fetched again from zero.
    fs::remove(target());
    server.answer("/core.zip", {cut, fileAnswer(file), fileAnswer(file)});
    expectError([&] { download(artifact, target()); }, "DOWNLOAD_FAILED", kInterrupted);
    std::string kept = readFile(partial());
    kept[1000] = static_cast<char>(kept[1000] ^ 1);
    writeFile(partial(), kept);
    download(artifact, target());
    EXPECT_EQ(readFile(target()), bytes);
    requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[3].header("Range"), "bytes=250000-");
    EXPECT_FALSE(requests[4].header("Range"));
}

TEST_F(Download, RangeAnswersAreChecked) {
    std::string bytes = sampleBytes(2 * 1048576);
    auto file = publish(bytes);
    auto artifact = [&](const ScriptedServer& server) { return artifactFor(server.url("/core.zip"), bytes); };
    fs::create_directories(target().parent_path());

    {
        // A 206 that does not start at the partial file's end is refused; the partial stays as it was.
        ScriptedServer server;
        Json::Value wrong = fileAnswer(file);
        wrong["contentRange"] = "bytes 0-2097151/2097152";
        server.answer("/core.zip", {wrong});
        writeFile(partial(), bytes.substr(0, 1048576));
        expectError([&] { download(artifact(server), target()); }, "DOWNLOAD_FAILED", kInterrupted);
        EXPECT_EQ(readFile(partial()), bytes.substr(0, 1048576));
        EXPECT_EQ(server.requests().at(0).header("Range"), "bytes=1048576-");
    }
    {
        // The right Content-Range appends.
        ScriptedServer server;
        server.answer("/core.zip", {fileAnswer(file)});
        download(artifact(server), target());
        EXPECT_EQ(readFile(target()), bytes);
        fs::remove(target());
    }
    {
        // A server that ignores Range and answers 200 starts the file over.
        ScriptedServer server;
        server.answer("/core.zip", {fileAnswer(file, false)});
        writeFile(partial(), std::string(5000, 'z'));
        download(artifact(server), target());
        EXPECT_EQ(readFile(target()), bytes);
        fs::remove(target());
    }
    {
        // 416 with a complete partial file: verified without a body.
        ScriptedServer server;
        server.answer("/core.zip", {fileAnswer(file)});
        writeFile(partial(), bytes);
        download(artifact(server), target());
        EXPECT_EQ(readFile(target()), bytes);
        EXPECT_EQ(server.requests().at(0).header("Range"), "bytes=2097152-");
        fs::remove(target());
    }
    {
        // A partial file larger than the known size is dropped before the request.
        ScriptedServer server;
        server.answer("/core.zip", {fileAnswer(file)});
        writeFile(partial(), bytes + "tail");
        download(artifact(server), target());
        EXPECT_EQ(readFile(target()), bytes);
        EXPECT_FALSE(server.requests().at(0).header("Range"));
    }
}

TEST_F(Download, BodyBeyondTheKnownSizeAborts) {
    std::string bytes = sampleBytes(10000);
    auto file = publish(bytes + sampleBytes(3000, 9));
    ScriptedServer server;
    server.answer("/core.zip", {fileAnswer(file, false)});
    expectError([&] { download(artifactFor(server.url("/core.zip"), bytes), target()); }, "DOWNLOAD_FAILED",
                kInterrupted);
    EXPECT_LE(fs::file_size(partial()), bytes.size());
    EXPECT_FALSE(fs::exists(target()));
}

TEST_F(Download, EndlessBodiesAreNotReadToTheirEnd) {
    std::string bytes = sampleBytes(5000);
    ScriptedServer server;
    Json::Value endless(Json::objectValue);
    endless["endless"] = true;
    // An error page that never ends fails as the error it is; a redirect whose
    // body never ends is followed once its head is in.
    Json::Value failing = endless;
    failing["status"] = 503;
    server.answer("/down", {failing});
    Json::Value moved = endless;
    moved["status"] = 302;
    moved["location"] = "/file";
    server.answer("/moved", {moved});
    server.answer("/file", {fileAnswer(publish(bytes))});
    // The server gives up after a minute; a download that waits for that has read on without end.
    const auto started = std::chrono::steady_clock::now();
    expectError([&] { download(artifactFor(server.url("/down"), bytes), target()); }, "DOWNLOAD_FAILED",
                "Файл недоступен: HTTP 503", 503);
    download(artifactFor(server.url("/moved"), bytes), target());
    EXPECT_EQ(readFile(target()), bytes);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));

    // Without a size, the caller's ceiling bounds the file, and nothing of it stays.
    server.answer("/unsized", {endless});
    fs::path other = folder_ / "unsized.bin";
    expectError([&] { downloadArtifact(readArtifact(artifactFor(server.url("/unsized"), bytes, false)), other, "", "", true,
                                       nullptr, {}, 1 << 20); },
                "LOCAL_ERROR", "Некорректный размер артефакта");
    EXPECT_FALSE(fs::exists(other.string() + ".part"));
    EXPECT_FALSE(fs::exists(other));
}

TEST_F(Download, WrongDigestIsFetchedOnceMoreFromZeroThenRefused) {
    std::string bytes = sampleBytes(70000);
    auto wrongFile = publish(sampleBytes(70000, 5));
    fs::create_directories(target().parent_path());
    writeFile(target(), "previous release");
    writeFile(partial(), sampleBytes(30000, 5));
    ScriptedServer server;
    server.answer("/core.zip", {fileAnswer(wrongFile)});

    expectError([&] { download(artifactFor(server.url("/core.zip"), bytes), target()); }, "HASH_MISMATCH",
                "Контрольная сумма загрузки не совпала");
    EXPECT_FALSE(fs::exists(partial()));
    EXPECT_EQ(readFile(target()), "previous release");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=30000-");
    EXPECT_FALSE(requests[1].header("Range")) << "the second attempt starts from zero";

    // One bad transfer, then a good one: the retry repairs it.
    auto goodFile = folder_ / "www" / "good.zip";
    writeFile(goodFile, bytes);
    server.answer("/core.zip", {fileAnswer(wrongFile), fileAnswer(goodFile)});
    download(artifactFor(server.url("/core.zip"), bytes), target());
    EXPECT_EQ(readFile(target()), bytes);
}

TEST_F(Download, EmptyArtifactAndUnavailableFile) {
    ScriptedServer server;
    server.answer("/empty", {test::jsonAnswer(200, "")});
    server.answer("/gone", {test::jsonAnswer(404, "{}")});
    download(artifactFor(server.url("/empty"), "", false), target());
    EXPECT_TRUE(fs::is_regular_file(target()));
    EXPECT_EQ(fs::file_size(target()), 0u);

    expectError([&] { download(artifactFor(server.url("/gone"), "x"), folder_ / "gone.bin"); }, "DOWNLOAD_FAILED",
                "Файл недоступен: HTTP 404", 404);
}

TEST_F(Download, FollowsFiveRedirectsButNotSix) {
    std::string bytes = sampleBytes(5000);
    auto file = publish(bytes);
    ScriptedServer server;
    for (int i = 1; i <= 6; ++i) {
        std::string next = i == 6 ? "/core.zip" : "/r" + std::to_string(i + 1);
        server.answer("/r" + std::to_string(i), {test::redirectAnswer(i % 2 ? 302 : 307, next)});
    }
    server.answer("/core.zip", {fileAnswer(file)});

    // On a worker thread, as the update flow runs; the thread's idle handle goes with it.
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            download(artifactFor(server.url("/r2"), bytes), target());
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
    EXPECT_EQ(readFile(target()), bytes);
    EXPECT_EQ(server.requests().size(), 6u);
    fs::remove(target());

    expectError([&] { download(artifactFor(server.url("/r1"), bytes), target()); }, "LOCAL_ERROR",
                "Слишком много перенаправлений");
    EXPECT_EQ(server.requests().size(), 12u);
    EXPECT_EQ(server.requestsFor("/core.zip").size(), 1u) << "the file behind the sixth redirect is never asked for";

    Json::Value noLocation;
    noLocation["status"] = 302;
    server.answer("/nowhere", {noLocation});
    expectError([&] { download(artifactFor(server.url("/nowhere"), bytes), target()); }, "LOCAL_ERROR",
                "Некорректное перенаправление");
}

TEST_F(Download, TokenIsSentOnlyToItsOrigin) {
    std::string bytes = sampleBytes(5000);
    auto file = publish(bytes);
    ScriptedServer home;
    ScriptedServer other;
    other.answer("/core.zip", {fileAnswer(file)});
    home.answer("/core.zip", {fileAnswer(file)});
    home.answer("/elsewhere", {test::redirectAnswer(302, other.url("/core.zip"))});
    home.answer("/here", {test::redirectAnswer(302, "/core.zip")});
    std::string origin = urlOrigin(home.url("/"));
    const std::string token = "bearer-token-77";

    download(artifactFor(home.url("/here"), bytes), target(), nullptr, {}, token, origin);
    EXPECT_EQ(readFile(target()), bytes);
    for (const auto& request : home.requests()) {
        EXPECT_EQ(request.header("Authorization"), "Bearer " + token);
    }
    fs::remove(target());

    expectError([&] { download(artifactFor(home.url("/elsewhere"), bytes), target(), nullptr, {}, token, origin); },
                "UNSAFE_URL", "Токен нельзя передавать другому серверу");
    expectError([&] { download(artifactFor(other.url("/core.zip"), bytes), target(), nullptr, {}, token, origin); },
                "UNSAFE_URL", "Токен нельзя передавать другому серверу");
    EXPECT_TRUE(other.requests().empty()) << "nothing may reach the other server while a token is in play";

    // Without a token the same redirect is followed.
    download(artifactFor(home.url("/elsewhere"), bytes), target());
    EXPECT_EQ(readFile(target()), bytes);
    ASSERT_EQ(other.requests().size(), 1u);
    EXPECT_FALSE(other.requests()[0].header("Authorization"));
}

TEST_F(Download, RefusesBadDigestsAndUnsafeUrlsBeforeTouchingAnything) {
    std::string bytes = "payload";
    std::string sha256 = hashBytes(bytes, "sha256");
    std::string sha1 = hashBytes(bytes, "sha1");
    auto upper = sha256;
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::vector<Json::Value> bad;
    auto make = [&](const char* name, const Json::Value& value) {
        Json::Value artifact;
        artifact["url"] = "https://example.invalid/x";
        artifact[name] = value;
        return artifact;
    };
    bad.push_back(make("sha256", upper));
    bad.push_back(make("sha256", sha256.substr(1)));
    bad.push_back(make("sha256", sha256 + "0"));
    bad.push_back(make("sha256", Json::Value()));
    bad.push_back(make("sha1", sha256));
    bad.push_back(make("md5", sha256));
    Json::Value nullWithSha1 = make("sha256", Json::Value());
    nullWithSha1["sha1"] = sha1;
    bad.push_back(nullWithSha1);
    auto nested = folder_ / "never" / "created" / "file.bin";
    for (const auto& artifact : bad) {
        SCOPED_TRACE(artifact.toStyledString());
        expectError([&] { download(artifact, nested); }, "HASH_REQUIRED", "Артефакт должен иметь контрольную сумму");
    }
    EXPECT_FALSE(fs::exists(folder_ / "never"));

    // A valid SHA-1 alone is enough; plain HTTP needs the loopback flag.
    ScriptedServer server;
    Json::Value body;
    body["body"] = bytes;
    server.answer("/x", {body});
    Json::Value bySha1;
    bySha1["url"] = server.url("/x");
    bySha1["sha1"] = sha1;
    expectError([&] { downloadArtifact(readArtifact(bySha1), target(), "", "", false, nullptr, {}); }, "UNSAFE_URL",
                "Ссылка загрузки должна использовать HTTPS");
    EXPECT_TRUE(server.requests().empty());
    download(bySha1, target());
    EXPECT_EQ(readFile(target()), bytes);
}

TEST_F(Download, RefusesLinksAtTheLockThePartialAndTheTarget) {
    std::string bytes = sampleBytes(100);
    fs::create_directories(target().parent_path());
    writeFile(folder_ / "elsewhere", "x");
    auto artifact = artifactFor("http://127.0.0.1:1/core.zip", bytes);

    fs::create_symlink(folder_ / "elsewhere", partial());
    expectError([&] { download(artifact, target()); }, "LOCAL_ERROR", "Опасный путь загрузки");
    fs::remove(partial());
    fs::create_symlink(folder_ / "elsewhere", target());
    expectError([&] { download(artifact, target()); }, "LOCAL_ERROR", "Опасный путь загрузки");
    fs::remove(target());
    fs::remove(folder_ / "cache" / "core.zip.lock");
    fs::create_symlink(folder_ / "elsewhere", folder_ / "cache" / "core.zip.lock");
    expectError([&] { download(artifact, target()); }, "LOCAL_ERROR", "Ссылка вместо файла блокировки");
    EXPECT_EQ(readFile(folder_ / "elsewhere"), "x");
}

TEST_F(Download, DebugModeLogsBeginVerifiedAndCacheHit) {
    auto logPath = folder_ / "bootstrap.log";
    configureLog(logPath, true);
    std::string bytes = sampleBytes(3000);
    auto file = publish(bytes);
    ScriptedServer server;
    server.answer("/core.zip", {fileAnswer(file)});
    auto artifact = artifactFor(server.url("/core.zip?sig=query-secret"), bytes);
    std::string token = "download-token-31";
    download(artifact, target(), nullptr, {}, token, urlOrigin(server.url("/")));
    download(artifact, target(), nullptr, {}, token, urlOrigin(server.url("/")));
    logMessage(LogLevel::Info, "probe " + token);
    configureLog(logPath, false);

    std::string log = readFile(logPath);
    std::string digest = artifact["sha256"].asString();
    EXPECT_NE(log.find("[DEBUG] download.begin " + server.url("/core.zip") + " bytes=3000 resume=0\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[DEBUG] download.verified " + digest + " bytes=3000 ms="), std::string::npos) << log;
    EXPECT_NE(log.find("[DEBUG] download.cache-hit " + digest + " bytes=3000\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("query-secret"), std::string::npos) << log;
    EXPECT_EQ(log.find(token), std::string::npos) << "the token is registered as a secret: " << log;
}

// Network sockets of this process: descriptor and whether it is close-on-exec.
std::vector<std::pair<int, bool>> networkSockets() {
    std::vector<std::pair<int, bool>> result;
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return result;
    }
    while (dirent* entry = ::readdir(folder)) {
        int descriptor = std::atoi(entry->d_name);
        int domain = 0;
        socklen_t length = sizeof domain;
        if (entry->d_name[0] == '.' || descriptor == ::dirfd(folder) ||
            ::getsockopt(descriptor, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) {
            continue;
        }
        if (domain == AF_INET || domain == AF_INET6) {
            result.emplace_back(descriptor, (::fcntl(descriptor, F_GETFD) & FD_CLOEXEC) != 0);
        }
    }
    ::closedir(folder);
    return result;
}

TEST_F(Download, KeptConnectionsAreNotInheritedByStartedProcesses) {
    std::string bytes = sampleBytes(5000);
    auto file = publish(bytes);
    ScriptedServer server;
    server.answer("/core.zip", {fileAnswer(file)});
    download(artifactFor(server.url("/core.zip"), bytes), target());

    auto sockets = networkSockets();
    ASSERT_FALSE(sockets.empty()) << "the thread's handle should keep its connection for reuse";
    for (const auto& [descriptor, closeOnExec] : sockets) {
        EXPECT_TRUE(closeOnExec) << "socket " << descriptor << " would leak into the core";
    }
}

// Another process that holds the download lock, as a second pre-starter does.
class LockHolder {
public:
    // Takes the lock, then after holdFor writes content to target (unless empty) and exits.
    LockHolder(const fs::path& lock, const fs::path& target, const std::string& content,
               std::chrono::milliseconds holdFor) {
        std::string lockText = lock.string();
        std::string targetText = target.string();
        int ready[2];
        if (::pipe(ready) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            int descriptor = ::open(lockText.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            struct flock region {};
            region.l_type = F_WRLCK;
            region.l_whence = SEEK_SET;
            char outcome = descriptor >= 0 && ::fcntl(descriptor, F_OFD_SETLK, &region) == 0 ? 'L' : 'F';
            ssize_t ignored = ::write(ready[1], &outcome, 1);
            (void)ignored;
            timespec pause{static_cast<time_t>(holdFor.count() / 1000), static_cast<long>(holdFor.count() % 1000) * 1000000L};
            ::nanosleep(&pause, nullptr);
            if (!content.empty()) {
                int out = ::open(targetText.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                ignored = ::write(out, content.data(), content.size());
                ::close(out);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        char outcome = 0;
        ssize_t got = ::read(ready[0], &outcome, 1);
        ::close(ready[0]);
        locked_ = got == 1 && outcome == 'L';
    }
    ~LockHolder() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool locked() const { return locked_; }
    // True when the holder has ended by itself.
    bool finished() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
        }
        return pid_ < 0;
    }

private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

TEST_F(Download, WaitsWhileAnotherProcessHoldsTheLockThenFindsItsFile) {
    std::string bytes = sampleBytes(20000);
    ScriptedServer server;
    server.answer("/core.zip", {test::jsonAnswer(500, "")});  // any request would fail the test
    fs::create_directories(target().parent_path());
    auto lock = folder_ / "cache" / "core.zip.lock";

    LockHolder holder(lock, target(), bytes, std::chrono::milliseconds(600));
    ASSERT_TRUE(holder.locked());
    download(artifactFor(server.url("/core.zip"), bytes), target());
    EXPECT_TRUE(holder.finished()) << "the call returned while the other process still held the lock";
    EXPECT_EQ(readFile(target()), bytes);
    EXPECT_TRUE(server.requests().empty());

    // Cancellation ends the wait.
    fs::remove(target());
    LockHolder longHolder(lock, target(), "", std::chrono::milliseconds(30000));
    ASSERT_TRUE(longHolder.locked());
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.exchange(true);
    });
    expectError([&] { download(artifactFor(server.url("/core.zip"), bytes), target(), &cancel); }, "CANCELLED",
                "Установка отменена");
    canceller.join();
    EXPECT_FALSE(longHolder.finished());
}

struct ProgressStop {
    std::uint64_t done;
};

TEST_F(Download, ProgressCallbackErrorsAndCancellationEndTheTransferCleanly) {
    std::string bytes = sampleBytes(64 * 1024);
    auto file = publish(bytes);
    ScriptedServer server;
    Json::Value slow = fileAnswer(file);
    slow["trickle"]["chunk"] = 4096;
    slow["trickle"]["intervalMs"] = 50;
    server.answer("/core.zip", {slow});
    auto artifact = artifactFor(server.url("/core.zip"), bytes);

    // An error thrown by the callback comes out as it was thrown, the partial file kept.
    try {
        download(artifact, target(), nullptr, [](std::uint64_t done, std::uint64_t) {
            if (done >= 8192) {
                throw Error("CANCELLED", "Обновление отменено");
            }
        });
        ADD_FAILURE() << "the callback's error was lost";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), "CANCELLED");
        EXPECT_EQ(std::string(error.what()), "Обновление отменено");
    }
    ASSERT_TRUE(fs::exists(partial()));
    auto kept = fs::file_size(partial());
    EXPECT_GE(kept, 8192u);
    EXPECT_LT(kept, bytes.size());
    EXPECT_EQ(readFile(partial()), bytes.substr(0, kept));

    // Any exception type passes through unchanged.
    EXPECT_THROW(download(artifact, target(), nullptr,
                          [](std::uint64_t done, std::uint64_t) {
                              if (done > 0) {
                                  throw ProgressStop{done};
                              }
                          }),
                 ProgressStop);

    // The flag set during the transfer.
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel.exchange(true);
    });
    expectError([&] { download(artifact, target(), &cancel); }, "CANCELLED", "Установка отменена");
    canceller.join();
    EXPECT_TRUE(fs::exists(partial()));
    expectError([&] { download(artifact, target(), &cancel); }, "CANCELLED", "Установка отменена");

    // The thread's handle is still good: the next run resumes and completes.
    auto before = server.requests().size();
    download(artifact, target());
    EXPECT_EQ(readFile(target()), bytes);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_TRUE(requests.back().header("Range").has_value());
}

}  // namespace
}  // namespace zarvo
