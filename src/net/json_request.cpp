// The JSON request client: one easy handle per call, nothing kept between calls.
#include "net/json_request.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string_view>

#include "log/logger.h"
#include "log/redaction.h"
#include "net/transfer_options.h"
#include "net/url_policy.h"
#include "trust/error.h"
#include "trust/strict_json.h"

namespace zarvo {
namespace {

constexpr const char* kCancelledMessage = "Действие отменено";
constexpr const char* kUnsafeUrlMessage = "Ссылка загрузки должна использовать HTTPS";
constexpr const char* kNetworkMessage = "Не удалось связаться с сервером. Проверьте подключение.";
constexpr const char* kAuthenticatePath = "/api/auth/authenticate";

struct EasyDeleter {
    void operator()(CURL* easy) const noexcept {
        curl_easy_reset(easy);
        curl_easy_cleanup(easy);
    }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

// The answer body in memory; refusing a block makes libcurl abort the transfer.
struct AnswerSink {
    std::string bytes;
};

size_t receiveAnswer(char* data, size_t size, size_t count, void* userData) {
    auto* sink = static_cast<AnswerSink*>(userData);
    size_t n = size * count;
    if (n > kJsonAnswerLimit - sink->bytes.size()) {
        return 0;
    }
    try {
        sink->bytes.append(data, n);
    } catch (...) {
        return 0;
    }
    return n;
}

int checkCancelled(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancelRequested = static_cast<const std::atomic<bool>*>(userData);
    return cancelRequested->load() ? 1 : 0;
}

bool isCancelled(const std::atomic<bool>* cancelRequested) {
    return cancelRequested != nullptr && cancelRequested->load();
}

// The member `name` of an object, or nullptr (also for a value that is not an object).
const Json::Value* findMember(const Json::Value& object, std::string_view name) {
    return object.isObject() ? object.find(name.data(), name.data() + name.size()) : nullptr;
}

void registerRequestSecrets(const std::string& url, const Json::Value& body, const std::string& bearerToken) {
    if (!bearerToken.empty()) {
        registerSecret(bearerToken);
    }
    registerSecretsFromJson(body);
    // A two-factor code is not under a secret-looking name, but it is one.
    std::string_view path(kAuthenticatePath);
    if (url.size() >= 22 && url.ends_with(path) && body.isObject()) {
        const Json::Value* code = findMember(body, "code");
        if (code != nullptr && code->isString()) {
            registerSecret(code->asString());
        }
    }
}

// The non-empty string member `name` of an object, or nullptr.
// An empty code or message would reach the user as nothing at all, so it counts as absent.
const Json::Value* stringMember(const Json::Value& object, std::string_view name) {
    const Json::Value* member = findMember(object, name);
    if (member == nullptr || !member->isString() || member->asString().empty()) {
        return nullptr;
    }
    return member;
}

[[noreturn]] void raiseRefusal(const Json::Value& answer, long status) {
    auto code = static_cast<std::int32_t>(status);
    const Json::Value* reason = stringMember(answer, "reason");
    if (reason != nullptr) {
        std::string text = reason->asString();
        if (text == "2fa") {
            throw Error("TWO_FACTOR_REQUIRED", "Введите код двухфакторной защиты", code);
        }
        if (text == "invalid_2fa") {
            throw Error("INVALID_2FA", "Код двухфакторной защиты не подошёл", code);
        }
        if (text == "invalid_credentials") {
            throw Error("INVALID_CREDENTIALS", "Неверный ник, почта или пароль", code);
        }
    }
    Json::Value errorObject(Json::objectValue);
    const Json::Value* member = findMember(answer, "error");
    if (member != nullptr && member->isObject()) {
        errorObject = *member;
    }
    const Json::Value* serviceCode = stringMember(errorObject, "code");
    const Json::Value* message = stringMember(errorObject, "message");
    if (message == nullptr) {
        message = stringMember(answer, "message");
    }
    throw Error(serviceCode != nullptr ? serviceCode->asString() : "HTTP_ERROR",
                message != nullptr ? message->asString() : "Сервер отклонил запрос", code);
}

}  // namespace

Json::Value requestJson(const std::string& url, const std::string& method, const Json::Value& body,
                        const std::string& bearerToken, bool allowLoopbackHttp,
                        const std::atomic<bool>* cancelRequested) {
    registerRequestSecrets(url, body, bearerToken);
    auto started = std::chrono::steady_clock::now();
    if (isDebugMode()) {
        logMessage(LogLevel::Debug, "http.begin " + method + " " + redactUrlForLog(url));
    }
    if (isCancelled(cancelRequested)) {
        throw Error("CANCELLED", kCancelledMessage);
    }
    EasyHandle easy(curl_easy_init());
    if (!easy || !isAllowedUrl(url, allowLoopbackHttp)) {
        throw Error("UNSAFE_URL", kUnsafeUrlMessage);
    }

    HeaderList headers;
    headers.append("Accept: application/json");
    if (!bearerToken.empty()) {
        headers.append("Authorization: Bearer " + bearerToken);
    }
    std::string payload;
    bool sendBody = method != "GET" && !body.isNull();
    if (sendBody) {
        payload = writeCompactJson(body);
        headers.append("Content-Type: application/json");
    }
    AnswerSink sink;
    bool configured = setCommonTransferOptions(easy.get(), url, allowLoopbackHttp);
    auto set = [&configured](CURLcode code) { configured = configured && code == CURLE_OK; };
    set(curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT, 20L));
    if (method != "GET") {
        set(curl_easy_setopt(easy.get(), CURLOPT_CUSTOMREQUEST, method.c_str()));
    }
    if (sendBody) {
        set(curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDS, payload.data()));
        set(curl_easy_setopt(easy.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size())));
    }
    set(curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get()));
    set(curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, receiveAnswer));
    set(curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &sink));
    if (cancelRequested != nullptr) {
        set(curl_easy_setopt(easy.get(), CURLOPT_NOPROGRESS, 0L));
        set(curl_easy_setopt(easy.get(), CURLOPT_XFERINFOFUNCTION, checkCancelled));
        set(curl_easy_setopt(easy.get(), CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancelRequested)));
    }
    // An option libcurl refuses would leave the request weaker than intended; never send it.
    CURLcode result = configured ? curl_easy_perform(easy.get()) : CURLE_FAILED_INIT;
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);

    bool transportFailed = result != CURLE_OK;
    if (transportFailed || status >= 400 || isDebugMode()) {
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        logMessage(transportFailed || status >= 400 ? LogLevel::Warn : LogLevel::Debug,
                   "http.end " + method + " " + redactUrlForLog(url) + " status=" + std::to_string(status) +
                       " ms=" + std::to_string(elapsed.count()) + " transport=" + curl_easy_strerror(result));
    }
    if (isCancelled(cancelRequested)) {
        throw Error("CANCELLED", kCancelledMessage);
    }
    if (transportFailed) {
        throw Error("NETWORK_ERROR", kNetworkMessage);
    }
    easy.reset();

    Json::Value answer;
    if (!sink.bytes.empty()) {
        try {
            answer = parseStrictJson(sink.bytes);
        } catch (const Error& error) {
            // Still an answer of the server: its status goes with the error,
            // so that an HTML page of a proxy in front of a down service counts
            // as the server error it is.
            throw Error(error.code(), error.what(), static_cast<std::int32_t>(status));
        }
    }
    registerSecretsFromJson(answer);
    if (status >= 200 && status <= 299) {
        return answer;
    }
    raiseRefusal(answer, status);
}

}  // namespace zarvo
