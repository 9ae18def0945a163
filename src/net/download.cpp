// The artifact download: lock, cache hit, resumable attempts with manual
// redirects, digest verification and the final durable move.
#include "net/download.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "log/logger.h"
#include "log/redaction.h"
#include "net/response_head.h"
#include "net/thread_easy_handle.h"
#include "net/transfer_options.h"
#include "net/url_policy.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "storage/data_layout.h"
#include "storage/storage_lock.h"
#include "trust/digest.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCancelledMessage = "Установка отменена";
constexpr const char* kUnsafeUrlMessage = "Ссылка загрузки должна использовать HTTPS";
constexpr const char* kInterruptedMessage = "Загрузка прервалась. Повторный запуск продолжит её.";
constexpr int kAttempts = 2;
constexpr int kRequestsPerAttempt = 6;  // the first and up to five redirects
constexpr auto kLockPollInterval = std::chrono::milliseconds(100);

// Why one request's loop ended: the final response, or a redirect to follow.
struct Response {
    long status = 0;
    std::string location;
};

void throwIfCancelled(const std::atomic<bool>* cancelRequested) {
    if (cancelRequested != nullptr && cancelRequested->load()) {
        throw Error("CANCELLED", kCancelledMessage);
    }
}

bool isLink(const fs::path& path) { return platform::entryKind(path) == platform::EntryKind::link; }
bool isRegularFile(const fs::path& path) { return platform::entryKind(path) == platform::EntryKind::file; }

// Waits, polling, while another process downloads the same target.
StorageLock lockDownload(const fs::path& lockPath, const std::atomic<bool>* cancelRequested) {
    if (isLink(lockPath)) {
        throw Error("LOCAL_ERROR", "Ссылка вместо файла блокировки");
    }
    while (true) {
        StorageLock lock;
        try {
            lock = lockStorageFile(lockPath);
        } catch (const Error& error) {
            if (error.code() != "STORAGE_LOCK_FAILED") {
                throw;
            }
            throw Error("LOCAL_ERROR", "Не удалось открыть блокировку загрузки");
        }
        if (lock.held()) {
            return lock;
        }
        throwIfCancelled(cancelRequested);
        std::this_thread::sleep_for(kLockPollInterval);
    }
}

// The file at path is whole and is the artifact: the test of a cache hit and
// of a finished partial file alike.
bool holdsArtifact(const fs::path& path, std::uint64_t size, const ArtifactDigest& digest) {
    if (!isRegularFile(path)) {
        return false;
    }
    if (size > 0 && platform::fileSize(path) != size) {
        return false;
    }
    return hashFile(path, digest.algorithm) == digest.value;
}

// The partial file written in this attempt is the artifact, judged by the
// digest taken while it was written.
bool streamedArtifact(DownloadSink& sink, const fs::path& path, std::uint64_t size, const ArtifactDigest& digest) {
    if (!isRegularFile(path) || (size > 0 && platform::fileSize(path) != size)) {
        return false;
    }
    return finishDigest(sink.digest.get()) == digest.value;
}

// One request of an attempt; raises for everything but a final or redirect response.
Response performRequest(const std::string& url, DownloadSink& sink, const std::string& bearerToken,
                        bool allowLoopbackHttp, const std::atomic<bool>* cancelRequested) {
    ThreadEasyHandle easy;
    if (!easy || !isAllowedUrl(url, allowLoopbackHttp)) {
        throw Error("UNSAFE_URL", kUnsafeUrlMessage);
    }
    if (!bearerToken.empty()) {
        easy.headers().append("Authorization: Bearer " + bearerToken);
    }
    if (sink.resumeOffset > 0) {
        easy.headers().append("Range: bytes=" + std::to_string(sink.resumeOffset) + "-");
    }
    sink.head = ResponseHead();
    sink.bytesDrained = 0;
    sink.bodyAbandoned = false;
    bool configured = setCommonTransferOptions(easy.get(), url, allowLoopbackHttp) &&
                      curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, easy.headers().get()) == CURLE_OK &&
                      attachDownloadSink(easy.get(), sink);
    CURLcode result = configured ? curl_easy_perform(easy.get()) : CURLE_FAILED_INIT;
    easy.release();
    sink.output.close();

    if (sink.callbackError) {
        std::rethrow_exception(sink.callbackError);
    }
    throwIfCancelled(cancelRequested);
    if (sink.ceilingExceeded) {
        logMessage(LogLevel::Warn, "download.too-large " + redactUrlForLog(url) + " limit=" +
                                       std::to_string(sink.sizeCeiling));
        // Nothing of it is worth resuming.
        std::error_code ignored;
        platform::removeEntry(sink.partialPath, ignored);
        throw Error("LOCAL_ERROR", "Некорректный размер артефакта");
    }
    // Ending the body on purpose is a complete answer, not a broken transfer.
    if (result == CURLE_WRITE_ERROR && sink.bodyAbandoned) {
        result = CURLE_OK;
    }
    if (result != CURLE_OK) {
        logMessage(LogLevel::Warn, "download.interrupted " + redactUrlForLog(url) + " status=" +
                                       std::to_string(sink.head.status) + " transport=" + curl_easy_strerror(result));
        throw Error("DOWNLOAD_FAILED", kInterruptedMessage);
    }
    return Response{sink.head.status, sink.head.location};
}

// Follows redirects by hand so that every hop passes the URL and token rules.
// Returns the final response; the sink has stored its body.
long fetch(const std::string& url, DownloadSink& sink, const std::string& bearerToken,
           const std::string& tokenOrigin, bool allowLoopbackHttp, const std::atomic<bool>* cancelRequested) {
    std::string current = url;
    for (int request = 1;; ++request) {
        if (!bearerToken.empty() && urlOrigin(current) != tokenOrigin) {
            throw Error("UNSAFE_URL", "Токен нельзя передавать другому серверу");
        }
        Response response = performRequest(current, sink, bearerToken, allowLoopbackHttp, cancelRequested);
        if (response.status < 300 || response.status > 399) {
            return response.status;
        }
        if (response.location.empty()) {
            throw Error("LOCAL_ERROR", "Некорректное перенаправление");
        }
        current = redirectTarget(current, response.location);
        if (request == kRequestsPerAttempt) {
            throw Error("LOCAL_ERROR", "Слишком много перенаправлений");
        }
        if (isDebugMode()) {
            logMessage(LogLevel::Debug, "download.redirect status=" + std::to_string(response.status) +
                                            " to=" + redactUrlForLog(current));
        }
    }
}

}  // namespace

void downloadArtifact(const Artifact& artifact, const fs::path& target, const std::string& bearerToken,
                      const std::string& tokenOrigin, bool allowLoopbackHttp,
                      const std::atomic<bool>* cancelRequested, const DownloadProgress& onProgress,
                      std::uint64_t sizeCeiling) {
    if (!bearerToken.empty()) {
        registerSecret(bearerToken);
    }
    auto started = std::chrono::steady_clock::now();
    const ArtifactDigest& digest = artifact.digest;
    const std::string& url = artifact.url;
    const std::uint64_t size = artifact.size;

    fs::path parent = target.parent_path();
    if (!parent.empty()) {
        platform::createPrivateFolders(parent);
    }
    StorageLock lock = lockDownload(downloadLockOf(target), cancelRequested);

    if (holdsArtifact(target, size, digest)) {
        if (isDebugMode()) {
            logMessage(LogLevel::Debug, "download.cache-hit " + digest.value + " bytes=" + std::to_string(size));
        }
        return;
    }

    if (!parent.empty()) {
        platform::createPrivateFolders(parent);
    }
    const fs::path partial = partialDownloadOf(target);
    if (isLink(target) || isLink(partial)) {
        throw Error("LOCAL_ERROR", "Опасный путь загрузки");
    }

    for (int attempt = 1;; ++attempt) {
        throwIfCancelled(cancelRequested);
        bool partialExists = platform::entryKind(partial) != platform::EntryKind::missing;
        if (partialExists && platform::fileSize(partial) > (size > 0 ? size : sizeCeiling)) {
            platform::removeEntry(partial);
            partialExists = false;
        }
        DownloadSink sink;
        sink.partialPath = partial;
        sink.digestAlgorithm = digest.algorithm;
        sink.resumeOffset = partialExists ? platform::fileSize(partial) : 0;
        sink.expectedSize = size;
        sink.sizeCeiling = sizeCeiling;
        sink.cancelRequested = cancelRequested;
        sink.onProgress = &onProgress;
        if (isDebugMode()) {
            logMessage(LogLevel::Debug, "download.begin " + redactUrlForLog(url) + " bytes=" + std::to_string(size) +
                                            " resume=" + std::to_string(sink.resumeOffset));
        }

        long status = fetch(url, sink, bearerToken, tokenOrigin, allowLoopbackHttp, cancelRequested);
        bool rangeDone = status == 416 && platform::entryKind(partial) != platform::EntryKind::missing;
        if (!rangeDone) {
            if (status != 200 && status != 206) {
                throw Error("DOWNLOAD_FAILED", "Файл недоступен: HTTP " + std::to_string(status),
                            static_cast<std::int32_t>(status));
            }
            if (status == 200 && !sink.outputOpened) {
                // A 200 without a body is an empty file, not whatever the partial held before.
                platform::OutputFile empty(partial, platform::OutputMode::Truncate);
            }
        }

        // The digest taken as the bytes arrived stands for the file; one that got
        // no body in this attempt (a finished partial, an empty file) is read whole.
        if (sink.outputOpened ? streamedArtifact(sink, partial, size, digest) : holdsArtifact(partial, size, digest)) {
            break;
        }
        logMessage(LogLevel::Warn, "download.hash-mismatch " + redactUrlForLog(url) + " attempt=" +
                                       std::to_string(attempt));
        platform::removeEntry(partial);
        if (attempt == kAttempts) {
            throw Error("HASH_MISMATCH", "Контрольная сумма загрузки не совпала");
        }
    }

    try {
        platform::replaceFileDurably(partial, target);
    } catch (const std::system_error&) {
        throw Error("LOCAL_ERROR", "Не удалось сохранить загрузку");
    }
    if (isDebugMode()) {
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        logMessage(LogLevel::Debug, "download.verified " + digest.value + " bytes=" +
                                        std::to_string(platform::fileSize(target)) +
                                        " ms=" + std::to_string(elapsed.count()));
    }
}

}  // namespace zarvo
