// InterfaceBinding<Loader>: what a wrapper's Impl holds. It binds the loader's library
// and creates the one interface object on construction, and on destruction releases
// the object through the library's destroy export before the library is released.
// Every call into the library runs inside the exception boundary (CallLibrary).
#pragma once

#include <filesystem>
#include <memory>
#include <utility>
#include <string>

#include "loader/exceptions.h"
#include "loader/library_call.h"
#include "loader/load_error.h"

namespace Vexa {

template <class Loader>
class InterfaceBinding {
public:
    using Interface = typename Loader::Interface;

    // Throws VexaException (code 1) when the framework is not found, FrameworkException
    // (code 100) when the library cannot be bound or creates no object, or what the
    // build-type, revision or create export threw, translated. Nothing stays bound
    // after a throw: the loader goes with the unfinished object.
    explicit InterfaceBinding(const std::string& configuration) : loader(std::make_unique<Loader>()) {
        const std::filesystem::path fileName = Loader::kFileName;
        const LoadError result = loader->Load(fileName);
        if (result != Success) {
            loader.reset();  // releases a library still bound after IncompatibleVersion
            throw FrameworkException(LoadFailureMessage(fileName, result), kProxyFailure);
        }
        // The export takes the text by non-const reference: hand it a copy of our own.
        std::string text = configuration;
        const auto create = loader->CreateAddress();
        instance = create != nullptr ? CallLibrary([&] { return create(text); }) : nullptr;
        if (instance == nullptr)
            throw FrameworkException("Failed to create instance of " + loader->Name(), kProxyFailure);
    }

    // The destroy export must not throw. If it does anyway, what it threw is dropped
    // here, while the library that made it is still loaded (a throw out of a
    // destructor would end the process), and the library is released as always.
    ~InterfaceBinding() {
        if (loader == nullptr) return;
        const auto destroy = loader->DestroyAddress();
        if (instance != nullptr && destroy != nullptr) {
            try {
                destroy(instance);
            } catch (...) {
            }
        }
        loader.reset();
    }

    InterfaceBinding(const InterfaceBinding&) = delete;
    InterfaceBinding& operator=(const InterfaceBinding&) = delete;

    // Runs call(instance) inside the exception boundary and returns its result.
    template <class Call>
    auto Forward(Call&& call) -> decltype(call(std::declval<Interface&>())) {
        return CallLibrary([&]() -> decltype(auto) { return call(*instance); });
    }

private:
    std::unique_ptr<Loader> loader;
    Interface* instance = nullptr;
};

}  // namespace Vexa
