// libcurl callbacks of a download: parse the response head, stream 200/206
// bodies into the partial file, report progress and observe cancellation.
#include "net/download_sink.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <vector>

#include "log/logger.h"
#include "platform/files.h"
#include "trust/error.h"

namespace zarvo {
namespace {

// An error page needs no more; a body that goes on is not read to its end.
constexpr std::uint64_t kDrainCap = 16384;
// Write-back is started every so often, so the final flush finds little left.
constexpr std::uint64_t kWriteBackStep = 8u << 20;

// The digest of what the partial file holds already, read once.
void hashKeptPart(DownloadSink& sink) {
    platform::FileHandle kept = platform::openFileForReading(sink.partialPath);
    std::vector<char> block(1 << 20);
    for (std::size_t count; (count = platform::readSome(kept, block.data(), block.size())) > 0;) {
        feedDigest(sink.digest.get(), std::string_view(block.data(), count));
    }
}

size_t receiveHeader(char* data, size_t size, size_t count, void* userData) {
    auto* sink = static_cast<DownloadSink*>(userData);
    size_t n = size * count;
    std::string_view line(data, n);
    try {
        readResponseHeaderLine(line, sink->head);
    } catch (...) {
        sink->callbackError = std::current_exception();
        return 0;
    }
    return n;
}

// Opens the partial file for the first accepted block; false refuses the block.
bool openPartial(DownloadSink& sink) {
    platform::OutputMode mode = platform::OutputMode::Truncate;
    if (sink.head.status == 200) {
        // The server ignored the range (or none was asked): the file starts over.
        sink.resumeOffset = 0;
    } else {
        if (!contentRangeStartsAt(sink.head.contentRange, sink.resumeOffset)) {
            logMessage(LogLevel::Warn, "download.range-mismatch resume=" + std::to_string(sink.resumeOffset) +
                                           " content-range=" + sink.head.contentRange);
            return false;
        }
        if (sink.resumeOffset > 0) {
            mode = platform::OutputMode::Append;
        }
    }
    try {
        sink.output = platform::OutputFile(sink.partialPath, mode);
        sink.digest = startDigest(sink.digestAlgorithm);
        if (mode == platform::OutputMode::Append) {
            hashKeptPart(sink);
        }
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, "download.partial-open-failed path=" +
                                       platform::pathToGenericUtf8(sink.partialPath) + " reason=" + error.what());
        if (platform::isOutOfSpace(error.code())) {
            sink.callbackError = std::make_exception_ptr(Error("DISK_FULL", kDiskFullMessage));
        }
        return false;
    }
    sink.outputOpened = true;
    return true;
}

size_t receiveBody(char* data, size_t size, size_t count, void* userData) {
    auto* sink = static_cast<DownloadSink*>(userData);
    size_t n = size * count;
    if (sink->cancelled()) {
        return 0;
    }
    if (sink->head.status >= 300 && sink->head.status <= 399) {
        // The head holds all a redirect has to say.
        sink->bodyAbandoned = true;
        return 0;
    }
    if (sink->head.status != 200 && sink->head.status != 206) {
        // An error body is dropped, never stored, and never read beyond the cap.
        sink->bytesDrained += n;
        if (sink->bytesDrained > kDrainCap) {
            sink->bodyAbandoned = true;
            return 0;
        }
        return n;
    }
    try {
        if (!sink->outputOpened && !openPartial(*sink)) {
            return 0;
        }
        if (sink->expectedSize > 0 && sink->resumeOffset + sink->bytesWritten + n > sink->expectedSize) {
            return 0;
        }
        if (sink->expectedSize == 0 && sink->sizeCeiling > 0 &&
            sink->resumeOffset + sink->bytesWritten + n > sink->sizeCeiling) {
            sink->ceilingExceeded = true;
            return 0;
        }
        sink->output.write(data, n);
        feedDigest(sink->digest.get(), std::string_view(data, n));
        sink->unflushed += n;
        if (sink->unflushed >= kWriteBackStep) {
            const std::uint64_t end = sink->resumeOffset + sink->bytesWritten + n;
            sink->output.startWriteBack(end - sink->unflushed, sink->unflushed);
            sink->unflushed = 0;
        }
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, "download.write-failed path=" + platform::pathToGenericUtf8(sink->partialPath) +
                                       " reason=" + error.what());
        if (platform::isOutOfSpace(error.code())) {
            // The partial file stays for the resume once there is room.
            sink->callbackError = std::make_exception_ptr(Error("DISK_FULL", kDiskFullMessage));
        }
        return 0;
    } catch (...) {
        sink->callbackError = std::current_exception();
        return 0;
    }
    sink->bytesWritten += n;
    return n;
}

int reportProgress(void* userData, curl_off_t downloadTotal, curl_off_t downloadNow, curl_off_t, curl_off_t) {
    auto* sink = static_cast<DownloadSink*>(userData);
    if (sink->cancelled() || sink->callbackError) {
        return 1;
    }
    if (sink->onProgress == nullptr || !*sink->onProgress) {
        return 0;
    }
    std::uint64_t done = sink->resumeOffset + static_cast<std::uint64_t>(std::max<curl_off_t>(downloadNow, 0));
    std::uint64_t total = sink->expectedSize > 0
                              ? sink->expectedSize
                              : sink->resumeOffset + static_cast<std::uint64_t>(std::max<curl_off_t>(downloadTotal, 0));
    try {
        (*sink->onProgress)(done, total);
    } catch (...) {
        // Unwinding through libcurl is not allowed; end the transfer and raise later.
        sink->callbackError = std::current_exception();
        return 1;
    }
    return 0;
}

}  // namespace

bool attachDownloadSink(CURL* easy, DownloadSink& sink) {
    bool ok = true;
    auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, receiveHeader));
    set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &sink));
    // Large receive blocks: fewer callbacks, fewer and larger writes.
    set(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024));
    set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receiveBody));
    set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink));
    set(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
    set(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, reportProgress));
    set(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &sink));
    return ok;
}

}  // namespace zarvo
