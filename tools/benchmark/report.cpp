#include "report.h"

#include <cstdio>

namespace zarvo::benchmark {
namespace {

std::string mibPerSecond(const Measurement& m, std::uint64_t bytes) {
    if (!m.ok || m.seconds <= 0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", static_cast<double>(bytes) / (1 << 20) / m.seconds);
    return text;
}

}  // namespace

Row makeRow(std::string operation, std::string tool, std::uint64_t bytes) {
    Row row;
    row.operation = std::move(operation);
    row.tool = std::move(tool);
    row.bytes = bytes;
    return row;
}

void printTable(const std::vector<Row>& rows, const Measurement& baseline) {
    std::printf("\n%-34s %9s %8s %9s   %-26s %9s %8s %9s %7s\n", "operation", "time s", "MiB/s", "peak MiB",
                "command-line tool", "time s", "MiB/s", "peak MiB", "ratio");
    for (const auto& row : rows) {
        auto cell = [&](const Measurement& m) {
            char text[64];
            if (!m.ok) {
                std::snprintf(text, sizeof text, "%9s %8s %9s", "failed", "-", "-");
            } else {
                std::snprintf(text, sizeof text, "%9.2f %8s %9.1f", m.seconds, mibPerSecond(m, row.bytes).c_str(),
                              static_cast<double>(m.peakKiB) / 1024);
            }
            return std::string(text);
        };
        std::string ratio = "-";
        if (row.ours.ok && row.reference.ok && row.reference.seconds > 0) {
            char text[16];
            std::snprintf(text, sizeof text, "%.2f", row.ours.seconds / row.reference.seconds);
            ratio = text;
        }
        std::printf("%-34s %s   %-26s %s %7s\n", row.operation.c_str(), cell(row.ours).c_str(), row.tool.c_str(),
                    row.tool.empty() ? "" : cell(row.reference).c_str(), row.tool.empty() ? "" : ratio.c_str());
    }
    std::printf("\nratio = our time / the tool's time (best of the runs). Peak = maximum resident set of the\n"
                "measuring child; a child that does nothing peaks at %.1f MiB.\n",
                static_cast<double>(baseline.peakKiB) / 1024);
    for (const auto& row : rows) {
        for (const Measurement* m : {&row.ours, &row.reference}) {
            if (!m->ok && !m->failure.empty()) {
                std::printf("failure in %s: %s\n", row.operation.c_str(), m->failure.c_str());
            }
        }
    }
}

}  // namespace zarvo::benchmark
