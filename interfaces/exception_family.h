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

// The family as one table, from which the classes below, the catch ladder of
// TranslateException, Corvane's Python types and its stub follow (a test compares the
// stub). Row: (class, C++ base, Python base); the root, written out below, goes to
// ROOT. Every base comes before its subclasses (the compiler insists), so the reverse
// order is a most-derived-first catch ladder; the order is also the Python types' order
// in the module. NoPythonType: raised as the Python type of the nearest base.
//
// Deliberately, the five leaves with the Python base Exception are no FrameworkException
// in Python though they are in C++: that is the module's published surface.
#define VEXA_EXCEPTION_FAMILY(ROOT, X)                                     \
    ROOT(VexaException, std::runtime_error, RuntimeError)                  \
    X(ProviderException, VexaException, NoPythonType)                      \
    X(FrameworkException, VexaException, VexaException)                    \
    X(LimitExceededException, FrameworkException, FrameworkException)      \
    X(TimeoutException, FrameworkException, Exception)                     \
    X(InvalidArgumentException, FrameworkException, Exception)             \
    X(AccessDeniedException, FrameworkException, Exception)                \
    X(JsonException, FrameworkException, Exception)                        \
    X(ProviderNotFoundException, FrameworkException, Exception)

namespace Vexa {

// The codes this system puts into the exceptions it throws itself; every other code
// comes from a framework library and travels unchanged.
enum ExceptionCode : int {
    kFrameworkDirectoryNotFound = 1,  // VexaException "Error Locating Framework Directory"
    kProxyFailure = 100,              // FrameworkException: load or create failed, handler never registered
    kJsonLibraryError = 600,          // JsonException made from the JSON library's own exception
};

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

// Copies go through VexaException's own copy operations.
#define VEXA_DEFINE_EXCEPTION(Name, Base, PythonBase)                       \
    class Name : public Base {                                              \
    public:                                                                 \
        Name(const std::string& message, int code) : Base(message, code) {} \
    };
#define VEXA_EXCEPTION_ROOT_WRITTEN_ABOVE(Name, Base, PythonBase)
VEXA_EXCEPTION_FAMILY(VEXA_EXCEPTION_ROOT_WRITTEN_ABOVE, VEXA_DEFINE_EXCEPTION)
#undef VEXA_EXCEPTION_ROOT_WRITTEN_ABOVE
#undef VEXA_DEFINE_EXCEPTION

}  // namespace Vexa
