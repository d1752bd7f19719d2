// TranslateException: re-raises the exception in flight as an object of this module,
// so that nothing thrown by a framework library (whose code, and with a private C++
// runtime even the storage of a text, may be unloaded later) travels further than the
// boundary. Every object thrown here holds a copy of the text of its own.
#include <exception>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "common/exceptions.h"

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

}  // namespace

void TranslateException() {
    try {
        throw;
    }
    // The family, most-derived first, so that each keeps its own class and code.
    catch (const JsonException& e) {
        throw JsonException(e);
    } catch (const ProviderNotFoundException& e) {
        throw ProviderNotFoundException(e);
    } catch (const AccessDeniedException& e) {
        throw AccessDeniedException(e);
    } catch (const InvalidArgumentException& e) {
        throw InvalidArgumentException(e);
    } catch (const TimeoutException& e) {
        throw TimeoutException(e);
    } catch (const LimitExceededException& e) {
        throw LimitExceededException(e);
    } catch (const FrameworkException& e) {
        throw FrameworkException(e);
    } catch (const ProviderException& e) {
        throw ProviderException(e);
    } catch (const VexaException& e) {
        throw VexaException(e);
    } catch (const nlohmann::json::exception& e) {
        throw JsonException(e.what(), 600);
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
}

}  // namespace Vexa
