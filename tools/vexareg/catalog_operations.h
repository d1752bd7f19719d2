// The three things vexareg does to the open provider catalog. Each turns the outcome
// into a result code and writes nothing on failure; main writes the message.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loader/provider_catalog_api_wrapper.h"
#include "result_code.h"

namespace Vexa::Registration {

// Deepest nesting of arrays and objects accepted in one catalog entry. Printing is
// recursive, so an unbounded entry could exhaust the stack; deeper entries fail the
// query instead.
constexpr int kMaxEntryNesting = 512;

// Registers the paths in order, stopping at the first failure (earlier ones stay
// registered). Success or RegistrationFailed.
ResultCode RegisterProviders(ProviderCatalogApi& catalog,
                             const std::vector<std::filesystem::path>& providers);

// The same with unregistration. Success or UnregistrationFailed.
ResultCode UnregisterProviders(ProviderCatalogApi& catalog,
                               const std::vector<std::filesystem::path>& providers);

// Prints the catalog document to standard output. Success or QueryFailed; a failed
// query writes nothing.
ResultCode QueryCatalog(ProviderCatalogApi& catalog);

// One entry parsed as a single strict JSON text, nesting bounded by kMaxEntryNesting.
// Throws on anything else.
nlohmann::json ParseCatalogEntry(const std::string& entry);

// The printed catalog document: null for no entries, otherwise
// {"provider_catalog": [entries...]}, indented by four blanks. Throws when an entry
// does not parse or holds invalid UTF-8.
std::string FormatCatalogDocument(const std::vector<std::string>& entries);

}  // namespace Vexa::Registration
