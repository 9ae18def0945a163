#include "install/parallel_digest.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

#include "trust/hashing.h"

namespace zarvo {

std::vector<FileDigest> hashFilesInParallel(const std::vector<const platform::FileHandle*>& files) {
    std::vector<FileDigest> results(files.size());
    std::atomic<std::size_t> next{0};
    // Each worker takes the next file not yet taken, so large and small files spread evenly.
    auto work = [&] {
        for (std::size_t i = next++; i < files.size(); i = next++) {
            try {
                results[i].value = hashOpenFile(*files[i], "sha256");
            } catch (...) {
                results[i].error = std::current_exception();
            }
        }
    };

    const std::size_t wanted = std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), files.size());
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < wanted; ++i) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // the threads started so far, and this one, do the rest
        }
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return results;
}

}  // namespace zarvo
