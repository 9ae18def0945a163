// What the stand-in core asks of its own system: its environment as it got
// it, what it inherited from the process that started it, and a real crash.
#pragma once

#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

std::vector<std::pair<std::string, std::string>> environmentEntries();

// Adds what the system shows of inherited handles to a start record.
void recordInheritance(Json::Value& entry);

[[noreturn]] void crash();
