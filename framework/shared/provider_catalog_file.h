// The provider catalog file of an install directory, shared by Orbisk (which edits it)
// and Tessaly (which shows it).
//
// The catalog is one JSON document, provider-catalog.json:
//     {"format": 1, "providers": [{"name": "sensor", "path": "/abs/sensor.dll"}, ...]}
// with the entries in registration order.
//
// Writers replace the file atomically and durably (temporary file, fsync, rename, fsync
// of the directory), so a reader, or a writer killed half-way, finds either the old or
// the new catalog, never a mixture. Writers of all processes serialise on an advisory
// lock (flock; LockFileEx on Windows) on provider-catalog.lock around their read-modify-write, so no update is
// lost. Readers take no lock: the rename makes every state they can see complete, and a
// read-only install directory can still be queried.
//
// A catalog that cannot be read or parsed is never written over: every operation on it
// fails with an exception saying why, until someone repairs or removes the file. Nor is
// one ever written that the readers would refuse: an update that would make the file
// larger than they accept throws LimitExceededException and leaves it as it was.
//
// A rewrite keeps the mode, owner and group of the catalog it replaces (the DACL on
// Windows); a first catalog is made 0644 whatever the writer's umask.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include <nlohmann/json.hpp>

namespace Vexa::Framework {

class ProviderCatalogFile {
public:
    static constexpr const char* kFileName = "provider-catalog.json";
    static constexpr const char* kLockFileName = "provider-catalog.lock";

    explicit ProviderCatalogFile(const std::filesystem::path& directory);

    const std::filesystem::path& Path() const { return file; }

    // The entries in registration order; empty when there is no catalog file yet.
    std::vector<nlohmann::json> Read() const;

    // Takes the writers' lock, reads the catalog, lets `change` edit the entries and
    // writes them back if `change` returns true. An exception from `change`, or a result
    // too large for the readers, leaves the file untouched.
    void Update(const std::function<bool(std::vector<nlohmann::json>&)>& change);

private:
    void Write(const std::vector<nlohmann::json>& entries) const;
    void RemoveLeftovers() const;

    std::filesystem::path directory;
    std::filesystem::path file;
    std::filesystem::path lockFile;
    // Temporary files are this followed by a suffix nobody can guess.
    std::filesystem::path tempPrefix;
};

// One catalog entry for the provider library at an absolute, normalised path.
nlohmann::json MakeProviderEntry(const std::filesystem::path& provider);

// The path member of an entry that Read() returned.
std::filesystem::path ProviderEntryPath(const nlohmann::json& entry);

}  // namespace Vexa::Framework
