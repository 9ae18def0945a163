// SHA-256 of many open files at once, on as many threads as the machine has.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "platform/files.h"

namespace zarvo {

// The outcome for one file: its digest, or the error hashing it raised.
struct FileDigest {
    std::string value;
    std::exception_ptr error;
};

// Hashes each handle's bytes from its current position to the end, the
// calling thread taking part. Results are in the order of the handles, each
// error kept with its file so that callers can report them in their own order.
// When no further thread can be started the work is done by fewer, down to the
// calling thread alone. Never raises for a file's error. Any thread.
std::vector<FileDigest> hashFilesInParallel(const std::vector<const platform::FileHandle*>& files);

}  // namespace zarvo
