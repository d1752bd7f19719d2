// DllProxy<T>: binds one framework library that implements the interface T. Load
// verifies the file's signature, loads it, resolves the export contract
// (<name>Create, <name>Destroy, <name>Revision, GetDllBuildType) and rejects a build
// configuration the tools cannot use. The interface object itself is not created
// here; its owner (a wrapper's Impl) does that through the create export.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "loader/code_page.h"
#include "loader/library_call.h"
#include "loader/load_error.h"
#include "common/resource_owners.h"
#include "loader/trust_verification.h"
#include "common/win32.h"
#include "interfaces/export_contract.h"

namespace Vexa {

template <class T>
class DllProxy {
public:
    using CreateFunction = Proxy::CreateExport<T>;
    using DestroyFunction = Proxy::DestroyExport<T>;
    using RevisionFunction = Proxy::RevisionExport;

    explicit DllProxy(const std::string& name) : name(name) {}
    ~DllProxy() { Unload(); }
    DllProxy(const DllProxy&) = delete;
    DllProxy& operator=(const DllProxy&) = delete;

    // Binds the library at path. Success only when the file is trusted, loads, exports
    // all four functions and its build type is accepted; on every other result the
    // proxy is unbound afterwards, except that LibraryAlreadyLoaded leaves a bound
    // proxy as it was.
    LoadError Load(const std::filesystem::path& path);

    // Releases the library, if any, and forgets the export addresses.
    void Unload() {
        module.reset();
        create = nullptr;
        destroy = nullptr;
        revision = nullptr;
    }

    HMODULE Module() const { return module.get(); }
    const std::string& Name() const { return name; }
    CreateFunction CreateAddress() const { return create; }
    DestroyFunction DestroyAddress() const { return destroy; }
    RevisionFunction RevisionAddress() const { return revision; }

protected:
    UniqueModule module;
    std::string name;
    CreateFunction create = nullptr;
    DestroyFunction destroy = nullptr;
    RevisionFunction revision = nullptr;

private:
    template <class Function>
    Function Export(const std::string& exportName) const {
        // Through the generic function type, which converts to any other without a
        // cast-function-type warning.
        using Generic = void (*)();
        return reinterpret_cast<Function>(reinterpret_cast<Generic>(GetProcAddress(module.get(), exportName.c_str())));
    }
};

template <class T>
LoadError DllProxy<T>::Load(const std::filesystem::path& path) {
    // A path without a representation in the file interfaces' code page cannot name
    // the file that was verified, so it counts as unverifiable.
    const std::optional<std::string> narrow = CodePage::NarrowFromPath(path);
    if (narrow && narrow->empty()) return ParameterIsNull;
    if (module) return LibraryAlreadyLoaded;

    // The check and the load name the file by one absolute path, so that a relative
    // path cannot make the load search elsewhere than where the check looked. The file
    // is held unchangeable from before the check until the load has mapped it, so
    // that what runs is what was verified.
    const std::optional<std::string> full = narrow ? CodePage::FullNarrowPath(*narrow) : std::nullopt;
    UniqueFile file = full ? OpenUnchangeable(*full) : UniqueFile();
    if (!file || !IsFileTrusted(*full, file.get())) return InvalidDigitalSignature;
    module = UniqueModule(LoadLibraryExA(full->c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    file.reset();
    if (!module) {
        Unload();
        return CannotOpenLibrary;
    }

    create = Export<CreateFunction>(name + "Create");
    destroy = Export<DestroyFunction>(name + "Destroy");
    revision = Export<RevisionFunction>(name + "Revision");
    const auto buildType = Export<Proxy::BuildTypeExport>("GetDllBuildType");

    // The build type is judged before the other exports, so a library of the wrong
    // build configuration is reported as such even when an export is missing too.
    LoadError result = SymbolNotFound;
    bool buildTypeAccepted = false;
    if (buildType != nullptr) {
        // What the export throws leaves translated, the library released.
        if (CallLibrary(buildType, [this] { Unload(); }) & Proxy::kIncompatibleBuildBit)
            result = IncompatibleBuildConfiguration;
        else
            buildTypeAccepted = true;
    }
    if (module && create && destroy && revision && buildTypeAccepted) return Success;
    Unload();
    return result;
}

}  // namespace Vexa
