#include "python/corvane/json_text/number_parser.h"

#include <charconv>
#include <system_error>

namespace Vexa::VexaPy::DirectJson {

ParsedNumber ParseLongNumber(const char* start, const char* stop) {
    double value = 0;
    const auto [last, error] = std::from_chars(start, stop, value);
    // from_chars reports a value beyond a double's range, and one so small that it
    // rounds to zero, as out of range; the scan has checked the token's syntax.
    if (error != std::errc() || last != stop) return ParsedNumber::Of(ParsedNumber::Kind::OutOfRange, stop);
    ParsedNumber number = ParsedNumber::Of(ParsedNumber::Kind::Double, stop);
    number.doubleValue = value;
    return number;
}

}  // namespace Vexa::VexaPy::DirectJson
