// The export contract of Tessaly.dll: create, destroy and revision of the client
// interface, and the build-type word.
#include <string>

#include "interfaces/export_contract.h"
#include "shared/framework_constants.h"
#include "shared/library_directory.h"
#include "tessaly/client.h"

using Vexa::Framework::Client;
using Vexa::Proxy::ClientApi;

VEXA_LIBRARY_EXPORT ClientApi* ClientApiCreate(std::string& configuration) {
    return new Client(configuration, Vexa::Framework::LibraryDirectory());
}

// Stops and joins the instance's threads, waiting for a callback in progress. Must not
// be called from one of the instance's own callbacks: the library could be released
// under the running callback, which no framework can make safe.
VEXA_LIBRARY_EXPORT void ClientApiDestroy(ClientApi* instance) {
    delete static_cast<Client*>(instance);
}

VEXA_LIBRARY_EXPORT std::uint32_t ClientApiRevision() { return Vexa::Framework::kInterfaceRevision; }

VEXA_LIBRARY_EXPORT std::uint32_t GetDllBuildType() { return Vexa::Framework::kBuildType; }
