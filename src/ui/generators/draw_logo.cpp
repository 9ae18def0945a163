// Build-time tool: draws the logo mark (a rounded ring around a "Z", in the
// accent colour on transparency) at any size, as the C++ source of the
// 128 x 128 RGBA pixels, as a PNG icon, or as a Windows icon group of PNGs.
//   draw_logo source OUTPUT.cpp
//   draw_logo png SIZE OUTPUT.png
//   draw_logo ico OUTPUT.ico SIZE...
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr unsigned char kAccent[3] = {0x62, 0x89, 0xE4};

double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
    const double dx = bx - ax;
    const double dy = by - ay;
    const double t = std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

// Signed distance to a rounded square centred at (64, 64) in 128-unit space.
double roundedSquareDistance(double px, double py, double half, double radius) {
    const double qx = std::abs(px - 64.0) - (half - radius);
    const double qy = std::abs(py - 64.0) - (half - radius);
    const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
    return outside + std::min(std::max(qx, qy), 0.0) - radius;
}

// Whether a point in 128-unit space lies on the mark.
bool onMark(double x, double y) {
    if (std::abs(roundedSquareDistance(x, y, 56.0, 30.0)) <= 5.0) {
        return true;
    }
    constexpr double kHalfStroke = 6.5;
    return segmentDistance(x, y, 42, 44, 86, 44) <= kHalfStroke ||
           segmentDistance(x, y, 86, 44, 42, 84) <= kHalfStroke ||
           segmentDistance(x, y, 42, 84, 86, 84) <= kHalfStroke;
}

// size x size RGBA pixels, edges smoothed by 4 x 4 samples a pixel.
std::vector<unsigned char> drawMark(int size) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(size) * size * 4, 0);
    const double scale = 128.0 / size;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            int hits = 0;
            for (int sy = 0; sy < 4; ++sy) {
                for (int sx = 0; sx < 4; ++sx) {
                    hits += onMark((x + (sx + 0.5) / 4.0) * scale, (y + (sy + 0.5) / 4.0) * scale) ? 1 : 0;
                }
            }
            unsigned char* pixel = &pixels[(static_cast<std::size_t>(y) * size + x) * 4];
            if (hits > 0) {
                pixel[0] = kAccent[0];
                pixel[1] = kAccent[1];
                pixel[2] = kAccent[2];
                pixel[3] = static_cast<unsigned char>((hits * 255 + 8) / 16);
            }
        }
    }
    return pixels;
}

std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void putBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

void putChunk(std::string& out, const char* type, const std::string& data) {
    putBigEndian(out, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    putBigEndian(out, crc32(reinterpret_cast<const unsigned char*>(body.data()), body.size()));
}

// A PNG with a zlib stream of stored (uncompressed) blocks: icons are small,
// and the tool needs no compression library.
std::string encodePng(const std::vector<unsigned char>& rgba, int size) {
    std::string raw;
    for (int y = 0; y < size; ++y) {
        raw += '\0';  // filter: none
        raw.append(reinterpret_cast<const char*>(&rgba[static_cast<std::size_t>(y) * size * 4]),
                   static_cast<std::size_t>(size) * 4);
    }
    std::string zlib = "\x78\x01";
    for (std::size_t offset = 0; offset < raw.size() || offset == 0; offset += 65535) {
        const std::size_t length = std::min<std::size_t>(65535, raw.size() - offset);
        const bool last = offset + length >= raw.size();
        zlib += static_cast<char>(last ? 1 : 0);
        zlib += static_cast<char>(length & 0xFF);
        zlib += static_cast<char>(length >> 8);
        zlib += static_cast<char>(~length & 0xFF);
        zlib += static_cast<char>((~length >> 8) & 0xFF);
        zlib.append(raw, offset, length);
        if (last) {
            break;
        }
    }
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    putBigEndian(zlib, (b << 16) | a);

    std::string header;
    putBigEndian(header, static_cast<std::uint32_t>(size));
    putBigEndian(header, static_cast<std::uint32_t>(size));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA, no interlace

    std::string png = "\x89PNG\r\n\x1a\n";
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", zlib);
    putChunk(png, "IEND", "");
    return png;
}

std::string cppSource(const std::vector<unsigned char>& rgba) {
    std::string text =
        "// Generated by draw_logo; do not edit.\n#include \"ui/embedded_assets.h\"\n\n"
        "namespace zarvo::assets {\nnamespace {\n\nconst unsigned char kLogo[] = {\n";
    char number[8];
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        std::snprintf(number, sizeof number, "%u,", static_cast<unsigned>(rgba[i]));
        text += number;
        if (i % 32 == 31) {
            text += '\n';
        }
    }
    text += "};\nstatic_assert(sizeof kLogo == kLogoSize * kLogoSize * 4);\n\n}  // namespace\n\n"
            "const unsigned char* logoPixels() { return kLogo; }\n\n}  // namespace zarvo::assets\n";
    return text;
}

void putLittleEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// An .ico whose images are PNGs (read by every Windows since Vista); a width
// or height of 256 is written as 0.
std::string encodeIco(const std::vector<int>& sizes) {
    std::string directory;
    putLittleEndian(directory, 0, 2);
    putLittleEndian(directory, 1, 2);
    putLittleEndian(directory, static_cast<std::uint32_t>(sizes.size()), 2);
    std::string images;
    const std::size_t firstImage = 6 + 16 * sizes.size();
    for (int size : sizes) {
        const std::string png = encodePng(drawMark(size), size);
        putLittleEndian(directory, static_cast<std::uint32_t>(size & 0xFF), 1);
        putLittleEndian(directory, static_cast<std::uint32_t>(size & 0xFF), 1);
        putLittleEndian(directory, 0, 2);  // no palette, reserved
        putLittleEndian(directory, 1, 2);  // planes
        putLittleEndian(directory, 32, 2);  // bits per pixel
        putLittleEndian(directory, static_cast<std::uint32_t>(png.size()), 4);
        putLittleEndian(directory, static_cast<std::uint32_t>(firstImage + images.size()), 4);
        images += png;
    }
    return directory + images;
}

int writeFile(const char* path, const std::string& bytes) {
    std::ofstream output(path, std::ios::binary | std::ios::trunc);
    output << bytes;
    output.close();
    if (!output) {
        std::cerr << "draw_logo: cannot write " << path << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "source" && argc == 3) {
        return writeFile(argv[2], cppSource(drawMark(128)));
    }
    if (mode == "png" && argc == 4) {
        const int size = std::atoi(argv[2]);
        if (size < 8 || size > 1024) {
            std::cerr << "draw_logo: bad size " << argv[2] << '\n';
            return 2;
        }
        return writeFile(argv[3], encodePng(drawMark(size), size));
    }
    if (mode == "ico" && argc >= 4) {
        std::vector<int> sizes;
        for (int i = 3; i < argc; ++i) {
            const int size = std::atoi(argv[i]);
            if (size < 8 || size > 256) {
                std::cerr << "draw_logo: bad icon size " << argv[i] << '\n';
                return 2;
            }
            sizes.push_back(size);
        }
        return writeFile(argv[2], encodeIco(sizes));
    }
    std::cerr << "usage: draw_logo source OUTPUT.cpp | draw_logo png SIZE OUTPUT.png | draw_logo ico OUTPUT.ico SIZE...\n";
    return 2;
}
