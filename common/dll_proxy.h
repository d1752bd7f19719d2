// DllProxy<T>: binds one framework library that implements the interface T. Load
// verifies the file's signature, loads it, resolves the export contract
// (<name>Create, <name>Destroy, <name>Revision, GetDllBuildType) and rejects a build
// configuration the tools cannot use. The interface object itself is not created
// here; its owner (a wrapper's Impl) does that through the create export.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "common/code_page.h"
#include "common/library_call.h"
#include "common/load_error.h"
#include "common/resource_owners.h"
#include "common/trust_verification.h"
#include "common/win32.h"
#include "interfaces/export_contract.h"

template <class T>
class DllProxy {
public:
    using CreateFunction = Vexa::Proxy::CreateExport<T>;
    using DestroyFunction = Vexa::Proxy::DestroyExport<T>;
    using RevisionFunction = Vexa::Proxy::RevisionExport;

    explicit DllProxy(const std::string& name) : name(name) {}
    virtual ~DllProxy() { DllProxy::Unload(); }
    DllProxy(const DllProxy&) = delete;
    DllProxy& operator=(const DllProxy&) = delete;

    // Binds the library at path. Success only when the file is trusted, loads, exports
    // all four functions and its build type is accepted; on every other result the
    // proxy is unbound afterwards, except that LibraryAlreadyLoaded leaves a bound
    // proxy as it was.
    virtual Vexa::LoadError Load(const std::filesystem::path& path);

    // Releases the library, if any, and forgets the export addresses.
    virtual void Unload() {
        module.Reset();
        create = nullptr;
        destroy = nullptr;
        revision = nullptr;
    }

    HMODULE Module() const { return module.Get(); }
    const std::string& Name() const { return name; }
    CreateFunction CreateAddress() const { return create; }
    DestroyFunction DestroyAddress() const { return destroy; }
    RevisionFunction RevisionAddress() const { return revision; }

protected:
    Vexa::UniqueModule module;
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
        return reinterpret_cast<Function>(reinterpret_cast<Generic>(GetProcAddress(module.Get(), exportName.c_str())));
    }
};

template <class T>
Vexa::LoadError DllProxy<T>::Load(const std::filesystem::path& path) {
    // A path without a representation in the file interfaces' code page cannot name
    // the file that was verified, so it counts as unverifiable.
    const std::optional<std::string> narrow = Vexa::CodePage::NarrowFromPath(path);
    if (narrow && narrow->empty()) return Vexa::ParameterIsNull;
    if (module) return Vexa::LibraryAlreadyLoaded;

    // The check and the load name the file by one absolute path, so that a relative
    // path cannot make the load search elsewhere than where the check looked. The file
    // is held unchangeable from before the check until the load has mapped it, so
    // that what runs is what was verified.
    const std::optional<std::string> full = narrow ? Vexa::CodePage::FullNarrowPath(*narrow) : std::nullopt;
    Vexa::UniqueFile file = full ? Vexa::OpenUnchangeable(*full) : Vexa::UniqueFile();
    if (!file || !Vexa::IsFileTrusted(*full, file.Get())) return Vexa::InvalidDigitalSignature;
    module = Vexa::UniqueModule(LoadLibraryExA(full->c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    file.Reset();
    if (!module) {
        Unload();
        return Vexa::CannotOpenLibrary;
    }

    create = Export<CreateFunction>(name + "Create");
    destroy = Export<DestroyFunction>(name + "Destroy");
    revision = Export<RevisionFunction>(name + "Revision");
    const auto buildType = Export<Vexa::Proxy::BuildTypeExport>("GetDllBuildType");

    // The build type is judged before the other exports, so a library of the wrong
    // build configuration is reported as such even when an export is missing too.
    Vexa::LoadError result = Vexa::SymbolNotFound;
    bool buildTypeAccepted = false;
    if (buildType != nullptr) {
        // What the export throws leaves translated, the library released.
        if (Vexa::CallLibrary(buildType, [this] { Unload(); }) & Vexa::Proxy::kIncompatibleBuildBit)
            result = Vexa::IncompatibleBuildConfiguration;
        else
            buildTypeAccepted = true;
    }
    if (module && create && destroy && revision && buildTypeAccepted) return Vexa::Success;
    Unload();
    return result;
}
