// Build-time tool: turns one file into a C++ source that returns its bytes,
// so the program carries the file without reading it at run time.
//   embed_bytes FUNCTION INPUT OUTPUT
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: embed_bytes FUNCTION INPUT OUTPUT\n";
        return 2;
    }
    const std::string function = argv[1];
    std::ifstream input(argv[2], std::ios::binary);
    if (!input) {
        std::cerr << "embed_bytes: cannot read " << argv[2] << '\n';
        return 1;
    }
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        std::cerr << "embed_bytes: " << argv[2] << " is empty\n";
        return 1;
    }

    std::string text;
    text.reserve(bytes.size() * 4 + 512);
    text += "// Generated from " + std::string(argv[2]) + "; do not edit.\n";
    text += "#include \"ui/embedded_assets.h\"\n\nnamespace zarvo::assets {\nnamespace {\n\n";
    text += "const unsigned char kBytes[] = {\n";
    char number[8];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(number, sizeof number, "%u,", static_cast<unsigned>(bytes[i]));
        text += number;
        if (i % 24 == 23) {
            text += '\n';
        }
    }
    text += "\n};\n\n}  // namespace\n\n";
    text += "EmbeddedBytes " + function + "() { return {kBytes, sizeof kBytes}; }\n\n}  // namespace zarvo::assets\n";

    std::ofstream output(argv[3], std::ios::binary | std::ios::trunc);
    output << text;
    output.close();
    if (!output) {
        std::cerr << "embed_bytes: cannot write " << argv[3] << '\n';
        return 1;
    }
    return 0;
}
