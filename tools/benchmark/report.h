// The benchmark's table: one row per operation, ours beside the command-line
// tool that does the same work, with the ratio of the two times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure.h"

namespace zarvo::benchmark {

struct Row {
    std::string operation;
    Measurement ours;
    std::string tool;
    Measurement reference;
    std::uint64_t bytes = 0;
};

Row makeRow(std::string operation, std::string tool, std::uint64_t bytes);
// Prints the rows; baseline is a child that does nothing, for the peak column.
void printTable(const std::vector<Row>& rows, const Measurement& baseline);

}  // namespace zarvo::benchmark
