// Deterministic input data: a fast generator gives four bits of entropy per
// byte, so gzip has real work to do and the files are not trivially sparse.
#include "workload.h"

#include <fstream>
#include <stdexcept>

#include "trust/digest.h"

namespace zarvo::benchmark {
namespace {

class Generator {
public:
    explicit Generator(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}

    void fill(char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; i += 8) {
            state_ ^= state_ << 13;
            state_ ^= state_ >> 7;
            state_ ^= state_ << 17;
            std::uint64_t bits = state_;
            for (std::size_t j = i; j < i + 8 && j < size; ++j) {
                data[j] = static_cast<char>('a' + (bits & 15));
                bits >>= 8;
            }
        }
    }
    std::uint64_t next() {
        fill(scratch_, sizeof scratch_);
        return state_;
    }

private:
    std::uint64_t state_;
    char scratch_[8];
};

}  // namespace

std::string writeDataFile(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Generator generator(seed);
    DigestContext digest = startDigest("sha256");
    std::string block(1 << 20, '\0');
    for (std::uint64_t done = 0; done < size;) {
        std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        generator.fill(block.data(), length);
        out.write(block.data(), static_cast<std::streamsize>(length));
        feedDigest(digest.get(), std::string_view(block.data(), length));
        done += length;
    }
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
    return finishDigest(digest.get());
}

FileTree writeFileTree(const std::filesystem::path& root, int fileCount, std::uint64_t averageSize) {
    FileTree tree;
    Generator sizes(7);
    for (int i = 0; i < fileCount; ++i) {
        // Sizes spread evenly from 0 to twice the average; a few folders deep.
        std::uint64_t size = sizes.next() % (2 * averageSize + 1);
        std::string name = "lib" + std::to_string(i % 40) + "/part" + std::to_string(i % 7) + "/file" +
                           std::to_string(i) + ".dat";
        tree.files[name] = writeDataFile(root / name, size, static_cast<std::uint64_t>(i) + 100);
        tree.names.push_back(name);
        tree.bytes += size;
    }
    return tree;
}

}  // namespace zarvo::benchmark
