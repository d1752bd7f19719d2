#include "catalog_operations.h"

#include <cstdio>
#include <stdexcept>

#include "console.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Vexa::Registration {

namespace {

using ProviderCall = void (ProviderCatalogApi::*)(const fs::path&);

ResultCode ApplyToEach(ProviderCatalogApi& catalog, const std::vector<fs::path>& providers,
                       ProviderCall call, ResultCode failure) {
    for (const fs::path& provider : providers) {
        try {
            (catalog.*call)(provider);
        } catch (...) {
            return failure;
        }
    }
    return ResultCode::Success;
}

}  // namespace

ResultCode RegisterProviders(ProviderCatalogApi& catalog, const std::vector<fs::path>& providers) {
    return ApplyToEach(catalog, providers, &ProviderCatalogApi::RegisterProvider,
                       ResultCode::RegistrationFailed);
}

ResultCode UnregisterProviders(ProviderCatalogApi& catalog, const std::vector<fs::path>& providers) {
    return ApplyToEach(catalog, providers, &ProviderCatalogApi::UnregisterProvider,
                       ResultCode::UnregistrationFailed);
}

json ParseCatalogEntry(const std::string& entry) {
    const json::parser_callback_t boundNesting = [](int depth, json::parse_event_t event, json&) {
        // depth counts the containers already open around this one.
        const bool opens = event == json::parse_event_t::object_start ||
                           event == json::parse_event_t::array_start;
        if (opens && depth >= kMaxEntryNesting) throw std::length_error("catalog entry nested too deeply");
        return true;
    };
    return json::parse(entry, boundNesting, /*allow_exceptions=*/true, /*ignore_comments=*/false);
}

std::string FormatCatalogDocument(const std::vector<std::string>& entries) {
    json document;
    for (const std::string& entry : entries) {
        json& catalog = document["provider_catalog"];
        json value = ParseCatalogEntry(entry);
        if (catalog.is_null()) catalog = json::array();
        catalog.push_back(std::move(value));
    }
    return document.dump(4, ' ', /*ensure_ascii=*/false, json::error_handler_t::strict);
}

ResultCode QueryCatalog(ProviderCatalogApi& catalog) {
    std::string document;
    try {
        document = FormatCatalogDocument(catalog.QueryProviders());
    } catch (...) {
        return ResultCode::QueryFailed;
    }
    // A document that never reached its reader is a failed query, not a success.
    return WriteLine(stdout, document) ? ResultCode::Success : ResultCode::QueryFailed;
}

}  // namespace Vexa::Registration
