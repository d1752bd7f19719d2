// One JSON document that the framework keeps in its install directory and that every
// client and process shares: the provider catalog, the client settings.
//
// Writers replace the file atomically and durably (temporary file, fsync, rename, fsync
// of the directory), so a reader, or a writer killed half-way, finds either the old or
// the new document, never a mixture. Writers of all processes serialise on an advisory
// lock (flock; LockFileEx on Windows) on a lock file of its own around their
// read-modify-write, so no update is lost. Readers take no lock: the rename makes every
// state they can see complete, and a read-only install directory can still be read.
//
// A document that cannot be read or parsed is never written over: every operation on it
// fails with FrameworkException "<kind> <file> is damaged (why); ...", until someone
// repairs or removes the file. Nor is one ever written that the readers would refuse:
// an update that would make the file larger than they accept throws
// LimitExceededException and leaves it as it was.
//
// A rewrite keeps the mode, owner and group of the file it replaces (the DACL on
// Windows); a first file is made 0644 whatever the writer's umask.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace Vexa::Framework {

class JsonStateFile {
public:
    // `kind` names the document in messages ("Provider catalog").
    JsonStateFile(const std::filesystem::path& directory, const std::string& fileName,
                  const std::string& lockFileName, std::string kind);

    const std::filesystem::path& Path() const { return file; }

    // The document; nullopt when there is no file yet.
    std::optional<nlohmann::json> Read() const;

    // Takes the writers' lock, reads the document, lets `change` edit it and writes it
    // back if `change` returns true. An exception from `change`, or a result too large
    // for the readers, leaves the file untouched.
    void Update(const std::function<bool(std::optional<nlohmann::json>&)>& change);

    // Throws FrameworkException saying that the file is damaged and why; for the
    // checks of a document's shape that its owner makes.
    [[noreturn]] void Damaged(const std::string& why) const;

private:
    void Write(const nlohmann::json& document) const;
    void RemoveLeftovers() const;

    std::filesystem::path directory;
    std::filesystem::path file;
    std::filesystem::path lockFile;
    // Temporary files are this followed by a suffix nobody can guess.
    std::filesystem::path tempPrefix;
    std::string kind;
};

}  // namespace Vexa::Framework
