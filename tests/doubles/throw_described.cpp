#include "throw_described.h"

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "interfaces/exception_family.h"

namespace {

// "<code>:<text>" after the class name.
template <class Family>
[[noreturn]] void ThrowFamily(const std::string& codeAndText) {
    const std::size_t colon = codeAndText.find(':');
    const int code = std::stoi(codeAndText.substr(0, colon));
    throw Family(colon == std::string::npos ? std::string() : codeAndText.substr(colon + 1), code);
}

}  // namespace

void ThrowDescribed(const std::string& description) {
    const std::size_t colon = description.find(':');
    const std::string kind = description.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : description.substr(colon + 1);

    if (kind == "VexaException") ThrowFamily<Vexa::VexaException>(rest);
    if (kind == "FrameworkException") ThrowFamily<Vexa::FrameworkException>(rest);
    if (kind == "ProviderException") ThrowFamily<Vexa::ProviderException>(rest);
    if (kind == "LimitExceededException") ThrowFamily<Vexa::LimitExceededException>(rest);
    if (kind == "TimeoutException") ThrowFamily<Vexa::TimeoutException>(rest);
    if (kind == "InvalidArgumentException") ThrowFamily<Vexa::InvalidArgumentException>(rest);
    if (kind == "AccessDeniedException") ThrowFamily<Vexa::AccessDeniedException>(rest);
    if (kind == "JsonException") ThrowFamily<Vexa::JsonException>(rest);
    if (kind == "ProviderNotFoundException") ThrowFamily<Vexa::ProviderNotFoundException>(rest);

    if (kind == "json") {
        const nlohmann::json never = nlohmann::json::parse("{\"unterminated\":");  // throws parse_error
        throw std::logic_error("parsed " + never.dump());
    }
    if (kind == "logic_error") throw std::logic_error(rest);
    if (kind == "runtime_error") throw std::runtime_error(rest);
    if (kind == "out_of_range") throw std::out_of_range(rest);
    if (kind == "system_error") throw std::system_error(std::make_error_code(std::errc::io_error), rest);
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "exception") throw std::exception();
    if (kind == "int") throw 42;
    throw std::invalid_argument("the test library knows no exception described as " + description);
}

void ThrowIfEnvironmentAsks(const char* variable) {
    if (const char* description = std::getenv(variable)) ThrowDescribed(description);
}
