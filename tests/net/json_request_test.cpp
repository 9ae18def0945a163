// The JSON request client against a real scripted server on loopback.
#include "net/json_request.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "log/logger.h"
#include "support/child_process.h"
#include "support/curl_environment.h"
#include "support/scripted_server.h"
#include "support/test_certificates.h"
#include "support/temp_dir.h"
#include "trust/error.h"

namespace zarvo {
namespace {

using test::jsonAnswer;
using test::ScriptedServer;
using test::TempDir;

void expectError(const std::function<void()>& action, const std::string& code, const std::string& message,
                 int status = 0) {
    try {
        action();
        ADD_FAILURE() << "no error, expected " << code;
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(std::string(error.what()), message);
        EXPECT_EQ(error.status(), status);
    }
}

Json::Value get(const std::string& url, const std::atomic<bool>* cancel = nullptr) {
    return requestJson(url, "GET", Json::Value(), "", true, cancel);
}

size_t headerIndex(const test::RecordedRequest& request, const std::string& name) {
    for (size_t i = 0; i < request.headers.size(); ++i) {
        if (request.headers[i].first == name) {
            return i;
        }
    }
    return request.headers.size();
}

TEST(JsonRequest, SendsTheFixedHeadersAndReturnsTheDocument) {
    ScriptedServer server;
    server.answer("/api/v1/bootstrap", {jsonAnswer(200, R"({"sequence":7,"name":"x"})")});

    Json::Value answer = get(server.url("/api/v1/bootstrap?platform=linux"));
    EXPECT_EQ(answer["sequence"].asInt(), 7);
    EXPECT_EQ(answer["name"].asString(), "x");

    Json::Value body;
    body["login"] = "player";
    body["code"] = "123456";
    server.answer("/api/login", {jsonAnswer(200, "{}")});
    requestJson(server.url("/api/login"), "POST", body, "token-abc123", true, nullptr);
    // A GET never carries a body, even when one is given.
    requestJson(server.url("/api/login"), "GET", body, "", true, nullptr);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    const auto& first = requests[0];
    EXPECT_EQ(first.method, "GET");
    EXPECT_EQ(first.path, "/api/v1/bootstrap?platform=linux");
    EXPECT_EQ(first.header("Accept"), "application/json");
    EXPECT_EQ(first.header("User-Agent"), "zarvolauncher/0.1");
    EXPECT_FALSE(first.header("Authorization"));
    EXPECT_FALSE(first.header("Content-Type"));

    const auto& post = requests[1];
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.body, R"({"code":"123456","login":"player"})");
    EXPECT_EQ(post.header("Authorization"), "Bearer token-abc123");
    EXPECT_EQ(post.header("Content-Type"), "application/json");
    EXPECT_LT(headerIndex(post, "Accept"), headerIndex(post, "Authorization"));
    EXPECT_LT(headerIndex(post, "Authorization"), headerIndex(post, "Content-Type"));

    const auto& getWithBody = requests[2];
    EXPECT_EQ(getWithBody.method, "GET");
    EXPECT_EQ(getWithBody.body, "");
    EXPECT_FALSE(getWithBody.header("Content-Type"));
    EXPECT_FALSE(getWithBody.header("Content-Length"));
}

TEST(JsonRequest, EmptyAnswerIsNull) {
    ScriptedServer server;
    server.answer("/empty", {jsonAnswer(200, "")});
    EXPECT_TRUE(get(server.url("/empty")).isNull());
}

TEST(JsonRequest, MapsRefusedAnswersToErrorsWithTheStatus) {
    ScriptedServer server;
    struct Case {
        int status;
        std::string body;
        std::string code;
        std::string message;
    };
    const Case cases[] = {
        {401, R"({"reason":"2fa"})", "TWO_FACTOR_REQUIRED", "Введите код двухфакторной защиты"},
        {401, R"({"reason":"invalid_2fa"})", "INVALID_2FA", "Код двухфакторной защиты не подошёл"},
        {401, R"({"reason":"invalid_credentials","error":{"code":"OTHER","message":"другое"}})",
         "INVALID_CREDENTIALS", "Неверный ник, почта или пароль"},
        {404, R"({"error":{"code":"RELEASE_MISSING","message":"Выпуск не найден"},"message":"top"})",
         "RELEASE_MISSING", "Выпуск не найден"},
        {409, R"({"error":{"message":"Только сообщение"}})", "HTTP_ERROR", "Только сообщение"},
        {403, R"({"error":"not an object","message":"Сверху"})", "HTTP_ERROR", "Сверху"},
        {404, R"({})", "HTTP_ERROR", "Сервер отклонил запрос"},
        {429, "", "HTTP_ERROR", "Сервер отклонил запрос"},
        {400, R"(["reason","2fa"])", "HTTP_ERROR", "Сервер отклонил запрос"},
        {500, "<html><body>Internal error</body></html>", "INVALID_JSON", "Некорректный JSON"},
        {200, R"({"a":1,"a":2})", "INVALID_JSON", "Некорректный JSON"},
        {200, R"({"a":1} trailing)", "INVALID_JSON", "Некорректный JSON"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.body);
        server.answer("/refuse", {jsonAnswer(item.status, item.body)});
        expectError([&] { get(server.url("/refuse")); }, item.code, item.message, item.status);
    }
}

TEST(JsonRequest, RedirectIsAnErrorAndNotFollowed) {
    ScriptedServer server;
    server.answer("/moved", {test::redirectAnswer(302, "/target")});
    server.answer("/target", {jsonAnswer(200, "{}")});
    expectError([&] { get(server.url("/moved")); }, "HTTP_ERROR", "Сервер отклонил запрос", 302);
    EXPECT_TRUE(server.requestsFor("/target").empty());
}

TEST(JsonRequest, AnswerIsCappedAtSixteenMebibytes) {
    TempDir folder;
    // A JSON string literal of exactly the ceiling, then one byte more.
    std::string exact = "\"" + std::string(kJsonAnswerLimit - 2, 'a') + "\"";
    test::writeFile(folder / "exact.json", exact);
    test::writeFile(folder / "over.json", "\"" + std::string(kJsonAnswerLimit - 1, 'a') + "\"");
    ScriptedServer server;
    Json::Value exactAnswer;
    exactAnswer["bodyFile"] = (folder / "exact.json").string();
    Json::Value overAnswer;
    overAnswer["bodyFile"] = (folder / "over.json").string();
    server.answer("/exact", {exactAnswer});
    server.answer("/over", {overAnswer});

    EXPECT_EQ(get(server.url("/exact")).asString().size(), kJsonAnswerLimit - 2);
    expectError([&] { get(server.url("/over")); }, "NETWORK_ERROR",
                "Не удалось связаться с сервером. Проверьте подключение.");
}

TEST(JsonRequest, RefusesUrlsOutsideThePolicyBeforeConnecting) {
    ScriptedServer server;
    server.answer("/x", {jsonAnswer(200, "{}")});
    const std::string unsafe = "Ссылка загрузки должна использовать HTTPS";
    expectError([&] { requestJson(server.url("/x"), "GET", Json::Value(), "", false, nullptr); }, "UNSAFE_URL",
                unsafe);
    expectError([&] { requestJson("ftp://127.0.0.1/x", "GET", Json::Value(), "", true, nullptr); }, "UNSAFE_URL",
                unsafe);
    expectError([&] { requestJson("/api/v1/bootstrap", "GET", Json::Value(), "", true, nullptr); }, "UNSAFE_URL",
                unsafe);
    EXPECT_TRUE(server.requests().empty());
    // With the flag, plain HTTP to the loopback host works.
    EXPECT_TRUE(requestJson(server.url("/x"), "GET", Json::Value(), "", true, nullptr).isObject());
}

TEST(JsonRequest, TransportFailureIsANetworkError) {
    int closedPort = test::freeLoopbackPort();
    expectError([&] { get("http://127.0.0.1:" + std::to_string(closedPort) + "/x"); }, "NETWORK_ERROR",
                "Не удалось связаться с сервером. Проверьте подключение.");

    ScriptedServer server;
    Json::Value cut = jsonAnswer(200, R"({"long":"answer that is cut"})");
    cut["cutAfter"] = 5;
    server.answer("/cut", {cut});
    expectError([&] { get(server.url("/cut")); }, "NETWORK_ERROR",
                "Не удалось связаться с сервером. Проверьте подключение.");
}

TEST(JsonRequest, CancellationBeforeAndDuringTheTransfer) {
    ScriptedServer server;
    Json::Value slow = jsonAnswer(200, "{}");
    slow["delayMs"] = 15000;
    server.answer("/slow", {slow});

    std::atomic<bool> cancel{true};
    expectError([&] { get(server.url("/slow"), &cancel); }, "CANCELLED", "Действие отменено");
    EXPECT_TRUE(server.requests().empty()) << "a cancelled request must not connect";

    cancel = false;
    auto started = std::chrono::steady_clock::now();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.exchange(true);
    });
    expectError([&] { get(server.url("/slow"), &cancel); }, "CANCELLED", "Действие отменено");
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(JsonRequest, LogsRequestsAndRegistersSecrets) {
    TempDir folder;
    auto logPath = folder / "bootstrap.log";
    configureLog(logPath, true);
    ScriptedServer server;
    server.answer("/api/v1/bootstrap", {jsonAnswer(200, R"({"accessToken":"answer-secret-42"})")});
    server.answer("/api/auth/authenticate", {jsonAnswer(401, R"({"reason":"invalid_2fa"})")});
    server.answer("/missing", {jsonAnswer(404, "{}")});

    get(server.url("/api/v1/bootstrap?platform=linux&key=query-secret"));
    Json::Value login;
    login["code"] = "987654";
    expectError([&] { requestJson(server.url("/api/auth/authenticate"), "POST", login, "bearer-secret-1", true,
                                  nullptr); },
                "INVALID_2FA", "Код двухфакторной защиты не подошёл", 401);
    logMessage(LogLevel::Info, "probe answer-secret-42 987654 bearer-secret-1");

    configureLog(logPath, false);
    get(server.url("/api/v1/bootstrap"));  // a success without debug mode leaves no line
    expectError([&] { get(server.url("/missing")); }, "HTTP_ERROR", "Сервер отклонил запрос", 404);

    std::string log = test::readFile(logPath);
    std::string bootstrapUrl = server.url("/api/v1/bootstrap");
    EXPECT_NE(log.find("[DEBUG] http.begin GET " + bootstrapUrl + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[DEBUG] http.end GET " + bootstrapUrl + " status=200 ms="), std::string::npos) << log;
    EXPECT_NE(log.find(" transport=No error"), std::string::npos) << log;
    EXPECT_EQ(log.find("query-secret"), std::string::npos) << log;
    EXPECT_NE(log.find("[WARN] http.end POST " + server.url("/api/auth/authenticate") + " status=401"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[WARN] http.end GET " + server.url("/missing") + " status=404"), std::string::npos) << log;
    // The probe line: every secret the requests carried or received is blanked out.
    EXPECT_EQ(log.find("answer-secret-42"), std::string::npos) << log;
    EXPECT_EQ(log.find("987654"), std::string::npos) << log;
    EXPECT_EQ(log.find("bearer-secret-1"), std::string::npos) << log;
    size_t endLines = 0;
    for (size_t at = log.find("http.end GET " + bootstrapUrl + " "); at != std::string::npos;
         at = log.find("http.end GET " + bootstrapUrl + " ", at + 1)) {
        ++endLines;
    }
    EXPECT_EQ(endLines, 1u) << "the second, non-debug success must not be logged";
}

// An HTTPS request verified against the system's certificate bundle. The test
// CA reaches that bundle only inside a private mount namespace of a child.
class JsonRequestTls : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::canMakeTestCertificates()) {
            GTEST_SKIP() << "the openssl command-line tool is needed to make test certificates";
        }
        certificates_ = test::makeTestCertificates(folder_.path());
    }

    test::TestCertificates certificates_;
    TempDir folder_;
};

constexpr const char* kSystemBundle = test::kSystemCertificateBundle;

TEST_F(JsonRequestTls, TrustsOnlyTheSystemCertificateStore) {
    ScriptedServer server({certificates_.serverCertificate, certificates_.serverKey});
    server.answer("/api/v1/bootstrap", {jsonAnswer(200, R"({"secure":true})")});
    std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/api/v1/bootstrap";

    // The test CA is not in the system store here: the certificate is refused.
    expectError([&] { requestJson(url, "GET", Json::Value(), "", false, nullptr); }, "NETWORK_ERROR",
                "Не удалось связаться с сервером. Проверьте подключение.");
    EXPECT_TRUE(server.requests().empty());

    if (::geteuid() != 0 || !std::filesystem::exists(kSystemBundle)) {
        GTEST_SKIP() << "trusting the test CA needs root (a private mount namespace over " << kSystemBundle << ")";
    }
    std::string bundle = test::writeBundleWithTestCa(certificates_, folder_.path()).string();

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        std::string outcome;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(bundle.c_str(), kSystemBundle, nullptr, MS_BIND, nullptr) != 0) {
            outcome = "SKIP";
        } else {
            try {
                Json::Value answer = requestJson(url, "GET", Json::Value(), "", false, nullptr);
                outcome = answer["secure"].asBool() ? "OK" : "WRONG ANSWER";
            } catch (const Error& error) {
                outcome = error.code() + " " + error.what();
            } catch (const std::exception& error) {
                outcome = error.what();
            }
        }
        ssize_t ignored = ::write(report[1], outcome.data(), outcome.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(report[1]);
    std::string outcome;
    char block[256];
    for (ssize_t got; (got = ::read(report[0], block, sizeof block)) > 0;) {
        outcome.append(block, static_cast<size_t>(got));
    }
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (outcome == "SKIP") {
        GTEST_SKIP() << "no private mount namespace can be made here";
    }
    EXPECT_EQ(outcome, "OK");
    EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace zarvo
