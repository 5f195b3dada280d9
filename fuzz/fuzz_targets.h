#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel::fuzz {

// One fuzzed entry point. It returns what property the input broke (empty when
// none held false); crashes and sanitizer reports speak for themselves.
using FuzzEntry = std::string (*)(std::string_view input);

struct FuzzTarget {
    const char* name; // also the folder of its corpus and regression inputs
    FuzzEntry entry;
    size_t maxLength; // the longest input worth generating
};

const std::vector<FuzzTarget>& fuzzTargets();
const FuzzTarget* findFuzzTarget(std::string_view name);

std::string helperResponse(std::string_view input);
std::string frameReader(std::string_view input);
std::string statLine(std::string_view input);
std::string procNetFile(std::string_view input);
std::string sockDiag(std::string_view input);
std::string routingState(std::string_view input);
std::string defaultsFile(std::string_view input);
std::string desktopEntry(std::string_view input);

// A private directory for targets whose code under test reads real files;
// created on first use, removed at exit.
const std::string& scratchDirectory();
bool writeScratchFile(const std::string& path, std::string_view contents);

} // namespace korvel::fuzz
