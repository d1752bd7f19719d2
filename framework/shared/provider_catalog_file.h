// The provider catalog file of an install directory, shared by Orbisk (which edits it)
// and Tessaly (which shows it).
//
// The catalog is one JSON document, provider-catalog.json:
//     {"format": 1, "providers": [{"name": "sensor", "path": "/abs/sensor.dll"}, ...]}
// with the entries in registration order.
//
// It is a JsonStateFile: written atomically, durably and under the writers' lock of all
// processes; read without a lock; never written over when damaged, nor written beyond
// what its readers accept. The lock is provider-catalog.lock.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "shared/json_state_file.h"

namespace Vexa::Framework {

class ProviderCatalogFile {
public:
    static constexpr const char* kFileName = "provider-catalog.json";
    static constexpr const char* kLockFileName = "provider-catalog.lock";

    explicit ProviderCatalogFile(const std::filesystem::path& directory);

    const std::filesystem::path& Path() const { return store.Path(); }

    // The entries in registration order; empty when there is no catalog file yet.
    std::vector<nlohmann::json> Read() const;

    // Takes the writers' lock, reads the catalog, lets `change` edit the entries and
    // writes them back if `change` returns true. An exception from `change`, or a result
    // too large for the readers, leaves the file untouched.
    void Update(const std::function<bool(std::vector<nlohmann::json>&)>& change);

private:
    // The entries of a catalog document; throws when it has not a catalog's shape.
    std::vector<nlohmann::json> Entries(std::optional<nlohmann::json> document) const;

    JsonStateFile store;
};

// One catalog entry for the provider library at an absolute, normalised path.
nlohmann::json MakeProviderEntry(const std::filesystem::path& provider);

// The path member of an entry that Read() returned.
std::filesystem::path ProviderEntryPath(const nlohmann::json& entry);

}  // namespace Vexa::Framework
