// Streaming digest over an open handle.
#include "install/open_file_digest.h"

#include <system_error>
#include <vector>

#include "platform/file_io.h"
#include "trust/digest.h"
#include "trust/error.h"

namespace zarvo {

std::string hashOpenFile(const platform::FileHandle& file, std::string_view algorithm) {
    constexpr std::size_t kBlockSize = 65536;
    DigestContext context = startDigest(algorithm);
    std::vector<char> block(kBlockSize);
    for (;;) {
        std::size_t count = 0;
        try {
            count = platform::readSome(file, block.data(), block.size());
        } catch (const std::system_error&) {
            throw Error("LOCAL_ERROR", "Ошибка чтения при проверке");
        }
        if (count == 0) {
            return finishDigest(context.get());
        }
        feedDigest(context.get(), std::string_view(block.data(), count));
    }
}

}  // namespace zarvo
