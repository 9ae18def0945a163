// Keeps at most one idle easy handle per thread; its connection cache survives
// curl_easy_reset, which is what makes reuse worthwhile.
#include "net/thread_easy_handle.h"

namespace zarvo {
namespace {

struct IdleHandle {
    CURL* easy = nullptr;
    ~IdleHandle() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
    }
};

thread_local IdleHandle idleHandle;

}  // namespace

ThreadEasyHandle::ThreadEasyHandle() noexcept {
    if (idleHandle.easy != nullptr) {
        easy_ = idleHandle.easy;
        idleHandle.easy = nullptr;
    } else {
        easy_ = curl_easy_init();
    }
}

void ThreadEasyHandle::release() noexcept {
    if (easy_ == nullptr) {
        return;
    }
    curl_easy_reset(easy_);
    headers_.clear();
    if (idleHandle.easy == nullptr) {
        idleHandle.easy = easy_;
    } else {
        curl_easy_cleanup(easy_);
    }
    easy_ = nullptr;
}

}  // namespace zarvo
