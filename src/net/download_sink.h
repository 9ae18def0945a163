// What one download request shares with its libcurl callbacks: the partial
// file, the response head as far as it matters, cancellation and progress.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>

#include "net/response_head.h"
#include "platform/files.h"
#include "trust/digest.h"

namespace zarvo {

using DownloadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct DownloadSink {
    std::filesystem::path partialPath;
    platform::OutputFile output;  // opened by the first accepted body block
    bool outputOpened = false;
    // The digest of the partial file as it is written: the kept part hashed
    // once when the transfer resumes, then every block in the order written.
    std::string digestAlgorithm = "sha256";
    DigestContext digest;
    // Bytes written since the last write-back was started.
    std::uint64_t unflushed = 0;
    std::uint64_t resumeOffset = 0;  // partial file size when the request was prepared
    std::uint64_t expectedSize = 0;  // 0 when unknown
    std::uint64_t bytesWritten = 0;
    // Ceiling for a body of unknown size (0: none); past it the write is refused.
    std::uint64_t sizeCeiling = 0;
    bool ceilingExceeded = false;
    // Body bytes of an error answer read and dropped so far.
    std::uint64_t bytesDrained = 0;
    // The transfer was ended on purpose once the answer was known: a redirect,
    // or an error answer whose body went on past the drain cap.
    bool bodyAbandoned = false;
    ResponseHead head;  // the latest one
    const std::atomic<bool>* cancelRequested = nullptr;
    const DownloadProgress* onProgress = nullptr;
    // An exception raised by the progress callback, kept out of libcurl's
    // frames and raised again once the transfer has returned.
    std::exception_ptr callbackError;

    bool cancelled() const noexcept { return cancelRequested != nullptr && cancelRequested->load(); }
};

// Installs the header, body and progress callbacks with the sink as their data.
// Returns false when libcurl refuses one of the options.
bool attachDownloadSink(CURL* easy, DownloadSink& sink);

}  // namespace zarvo
