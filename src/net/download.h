// Resumable, verified download of one release file to a target path, shared
// safely by several pre-starter processes through a lock file per target.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "net/download_sink.h"

namespace zarvo {

struct ArtifactDigest {
    std::string algorithm;  // "sha256" or "sha1"
    std::string value;      // lowercase hex of the algorithm's length
};

// One release file as its manifest describes it (read by readArtifact).
struct Artifact {
    std::string url;
    ArtifactDigest digest;
    std::uint64_t size = 0;  // 0 when the manifest names none
};

// What an artifact without a "size" may grow to unless its caller says less.
inline constexpr std::uint64_t kDefaultDownloadCeiling = 1073741824;

// Brings the artifact to target: a cache hit
// when target already matches, else a download into "<target>.part" (resumed
// across runs) that is verified and moved into place. Serialised per target by
// its lock file. The token goes only to tokenOrigin. Without a size, more than
// sizeCeiling bytes fail with "Некорректный размер артефакта" and the partial
// file is dropped. Raises zarvo::Error (see the messages in download.cpp); an
// exception thrown by onProgress comes out unchanged. Blocking, on the calling
// thread; cancelRequested may be null.
void downloadArtifact(const Artifact& artifact, const std::filesystem::path& target,
                      const std::string& bearerToken, const std::string& tokenOrigin, bool allowLoopbackHttp,
                      const std::atomic<bool>* cancelRequested, const DownloadProgress& onProgress,
                      std::uint64_t sizeCeiling = kDefaultDownloadCeiling);

}  // namespace zarvo
