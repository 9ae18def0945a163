// The calling thread's reusable libcurl easy handle, so that redirects and
// successive downloads on one thread keep their connections open.
#pragma once

#include <curl/curl.h>

#include "net/transfer_options.h"

namespace zarvo {

// One request's use of the thread's easy handle. Takes the thread's idle handle
// or creates one; on release the handle is reset, the request's header list is
// freed and the handle becomes the thread's idle one again (or is cleaned up if
// the thread already has one). Thread exit cleans up the idle handle.
class ThreadEasyHandle {
public:
    ThreadEasyHandle() noexcept;
    ~ThreadEasyHandle() { release(); }
    ThreadEasyHandle(const ThreadEasyHandle&) = delete;
    ThreadEasyHandle& operator=(const ThreadEasyHandle&) = delete;

    // Null when libcurl could not create a handle.
    CURL* get() const noexcept { return easy_; }
    explicit operator bool() const noexcept { return easy_ != nullptr; }
    // Headers of this request; they live until release.
    HeaderList& headers() noexcept { return headers_; }
    void release() noexcept;

private:
    CURL* easy_ = nullptr;
    HeaderList headers_;
};

}  // namespace zarvo
