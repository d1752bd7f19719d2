// Everything vexareg writes: the banner, the usage text and the fixed message of each
// result code, each on the stream where scripts expect it.
#pragma once

#include <cstdio>
#include <string>

#include "result_code.h"

namespace Vexa::Registration {

extern const char* const kBanner;

// Writes text and a line feed as one unit, then flushes the stream. False when the
// text did not reach the stream's destination.
bool WriteLine(std::FILE* stream, const std::string& text);

// The usage text for the program name as it stands in argv[0] (null counts as empty).
std::string ComposeUsage(const char* programName);

// Writes what the result code calls for: a failure message on standard error, the
// usage text on standard output, or nothing for success.
void ReportResult(ResultCode code, const std::string& usage);

}  // namespace Vexa::Registration
