// TranslateException: re-raises the exception in flight as an object of this module,
// so that nothing thrown by a framework library (whose code, and with a private C++
// runtime even the storage of a text, may be unloaded later) travels further than the
// boundary. Every object thrown here holds a copy of the text of its own.
#include <exception>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "loader/exceptions.h"

namespace Vexa {

namespace {

// std::exception has no text of its own, so a plain copy at that class would lose
// the caught object's text. This keeps it while still being caught as std::exception
// and as nothing more specific. The text lives in a runtime_error, whose copy never
// throws.
class StandardException : public std::exception {
public:
    explicit StandardException(const char* text) : text(text) {}
    const char* what() const noexcept override { return text.what(); }

private:
    std::runtime_error text;
};

// Tries the family's classes from the last listed to the first, that is most-derived
// first, so each member keeps its own class and code. The copy is returned, not thrown:
// the handlers of the enclosing levels would catch it again at a base class. Rethrows
// what is not of the family.
template <class Member, class... MoreDerived>
std::exception_ptr CopyOfFamilyMember() {
    try {
        if constexpr (sizeof...(MoreDerived) > 0) {
            return CopyOfFamilyMember<MoreDerived...>();
        } else {
            throw;
        }
    } catch (const Member& e) {
        return std::make_exception_ptr(Member(e));
    }
}

#define VEXA_FAMILY_ROOT(Name, Base, PythonBase) Name
#define VEXA_FAMILY_MEMBER(Name, Base, PythonBase) , Name
constexpr auto kCopyOfFamilyMember =
    &CopyOfFamilyMember<VEXA_EXCEPTION_FAMILY(VEXA_FAMILY_ROOT, VEXA_FAMILY_MEMBER)>;
#undef VEXA_FAMILY_ROOT
#undef VEXA_FAMILY_MEMBER

}  // namespace

void TranslateException() {
    std::exception_ptr copy;
    try {
        copy = kCopyOfFamilyMember();
    } catch (const nlohmann::json::exception& e) {
        throw JsonException(e.what(), kJsonLibraryError);
    }
    // Standard exceptions are reduced to the handler's class, keeping their text. They
    // are made anew from what(): a copy would share the text's storage with the
    // library's object.
    catch (const std::logic_error& e) {
        throw std::logic_error(e.what());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(e.what());
    } catch (const std::exception& e) {
        throw StandardException(e.what());
    } catch (...) {
        throw std::runtime_error("Unknown Exception");
    }
    std::rethrow_exception(copy);
}

}  // namespace Vexa
