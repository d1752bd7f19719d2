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

// The family as one table; the classes below, the catch ladder of TranslateException,
// the Python types of Corvane and its stub all follow from it, and a test reads it to
// check the stub and the module. Row: X(class, C++ base, Python base); the root row
// goes to ROOT, as it is written out by hand below, all others to X. Each class
// comes after its base (the compiler insists), so the reverse order is a valid
// most-derived-first catch ladder. The order is also that of the Python types in the
// module, which callers can see. A Python base of NoPythonType means the class has
// no Python type of its own and is raised as the type of its nearest base.
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

#define VEXA_DEFINE_EXCEPTION(Name, Base, PythonBase)                                         \
    class Name : public Base {                                                                \
    public:                                                                                   \
        Name(const std::string& message, int code) : Base(message, code) {}                   \
        Name(const Name&) = default;                                                          \
        Name& operator=(const Name&) = default;                                               \
        ~Name() override = default;                                                           \
    };
#define VEXA_EXCEPTION_ROOT_WRITTEN_ABOVE(Name, Base, PythonBase)
VEXA_EXCEPTION_FAMILY(VEXA_EXCEPTION_ROOT_WRITTEN_ABOVE, VEXA_DEFINE_EXCEPTION)
#undef VEXA_EXCEPTION_ROOT_WRITTEN_ABOVE
#undef VEXA_DEFINE_EXCEPTION

}  // namespace Vexa
