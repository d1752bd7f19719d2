// The exception family of the Vexa client tooling.
//
// The framework's libraries throw objects of these very classes out of their
// interface calls, so the definitions live entirely in this header and are compiled
// identically on both sides of the library boundary. Every class carries a message
// (held by std::runtime_error) and a signed 32-bit code; no subclass adds a field.
// Every copy, at any class of the family, makes an independent copy of the text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Vexa {

class VexaException : public std::runtime_error {
public:
    VexaException(const std::string& message, int code) : std::runtime_error(message), code(code) {}
    // A copy holds the text in storage of its own: a copied runtime_error would share
    // the original's (libstdc++ counts references to it), and the original may belong
    // to a library that is released while the copy lives on. With a private C++ runtime
    // in that library even an empty text is one of the library's statics.
    VexaException(const VexaException& other) : std::runtime_error(std::string(other.what())), code(other.code) {}
    VexaException& operator=(const VexaException& other) {
        std::runtime_error::operator=(std::runtime_error(std::string(other.what())));
        code = other.code;
        return *this;
    }
    ~VexaException() override = default;

    std::int32_t code;
};

#define VEXA_DEFINE_EXCEPTION(Name, Base)                                                     \
    class Name : public Base {                                                                \
    public:                                                                                   \
        Name(const std::string& message, int code) : Base(message, code) {}                   \
        Name(const Name&) = default;                                                          \
        Name& operator=(const Name&) = default;                                               \
        ~Name() override = default;                                                           \
    };

VEXA_DEFINE_EXCEPTION(FrameworkException, VexaException)
VEXA_DEFINE_EXCEPTION(ProviderException, VexaException)
VEXA_DEFINE_EXCEPTION(LimitExceededException, FrameworkException)
VEXA_DEFINE_EXCEPTION(TimeoutException, FrameworkException)
VEXA_DEFINE_EXCEPTION(InvalidArgumentException, FrameworkException)
VEXA_DEFINE_EXCEPTION(AccessDeniedException, FrameworkException)
VEXA_DEFINE_EXCEPTION(JsonException, FrameworkException)
VEXA_DEFINE_EXCEPTION(ProviderNotFoundException, FrameworkException)

#undef VEXA_DEFINE_EXCEPTION

// The exception boundary. Call only from inside a catch-all handler: rethrows the
// exception in flight as an object owned by this module (family members keep class,
// text and code; JSON library errors become JsonException 600; standard exceptions
// are reduced to logic_error, runtime_error or exception with their text; anything
// else becomes runtime_error "Unknown Exception"). Never returns.
[[noreturn]] void TranslateException();

}  // namespace Vexa
