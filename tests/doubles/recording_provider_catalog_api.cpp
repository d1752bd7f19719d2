#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "record.h"
#include "recording_apis.h"
#include "throw_described.h"

namespace {

class RecordingProviderCatalogApi final : public Vexa::Proxy::ProviderCatalogApi {
public:
    ~RecordingProviderCatalogApi() override = default;

    void RegisterProvider(const std::filesystem::path& provider) override {
        Answer("RegisterProvider(" + provider.string() + ")");
        providers.push_back(provider.string());
    }
    void UnregisterProvider(const std::filesystem::path& provider) override {
        Answer("UnregisterProvider(" + provider.string() + ")");
        providers.erase(std::remove(providers.begin(), providers.end(), provider.string()), providers.end());
    }
    // One entry per registered provider, in registration order.
    std::vector<std::string> QueryProviders() override {
        Answer("QueryProviders()");
        std::vector<std::string> entries;
        for (const std::string& provider : providers) entries.push_back(nlohmann::json{{"path", provider}}.dump());
        return entries;
    }

private:
    static void Answer(const std::string& call) {
        Record(call);
        ThrowIfEnvironmentAsks("VEXA_TEST_OPERATION_THROW");
    }

    std::vector<std::string> providers;
};

}  // namespace

Vexa::Proxy::ProviderCatalogApi* NewRecordingProviderCatalogApi() { return new RecordingProviderCatalogApi(); }

void DeleteRecordingProviderCatalogApi(Vexa::Proxy::ProviderCatalogApi* api) {
    delete static_cast<RecordingProviderCatalogApi*>(api);
}
