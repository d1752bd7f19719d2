#include "loader/client_api_wrapper.h"

#include "loader/api_loaders.h"
#include "loader/interface_binding.h"

namespace Vexa {

class ClientApi::Impl : public InterfaceBinding<ClientApiLoader> {
public:
    using InterfaceBinding::InterfaceBinding;
};

ClientApi::ClientApi() : ClientApi("{}") {}

ClientApi::ClientApi(const std::string& configuration) : impl(std::make_unique<Impl>(configuration)) {}

ClientApi::~ClientApi() = default;

std::string ClientApi::GetProperties(const std::string& propertiesConfig) {
    return impl->Forward([&](Proxy::ClientApi& api) { return api.GetProperties(propertiesConfig); });
}

std::string ClientApi::GetValue(const std::string& path) {
    return impl->Forward([&](Proxy::ClientApi& api) { return api.GetValue(path); });
}

std::string ClientApi::GetNode(const std::string& path) {
    return impl->Forward([&](Proxy::ClientApi& api) { return api.GetNode(path); });
}

std::string ClientApi::GetSchema(const std::string& path, SchemaType type) {
    return impl->Forward([&](Proxy::ClientApi& api) { return api.GetSchema(path, type); });
}

std::string ClientApi::ExecuteCommand(const std::string& path, const std::string& parameters) {
    return impl->Forward([&](Proxy::ClientApi& api) { return api.ExecuteCommand(path, parameters); });
}

std::string ClientApi::QueryNode(const std::string& path) {
    return impl->Forward([&](Proxy::ClientApi& api) { return api.QueryNode(path); });
}

void ClientApi::RegisterEvent(const std::string& path, Proxy::EventCallback callback, void* context) {
    impl->Forward([&](Proxy::ClientApi& api) { api.RegisterEvent(path, callback, context); });
}

void ClientApi::UnregisterEvent(const std::string& path, Proxy::EventCallback callback) {
    impl->Forward([&](Proxy::ClientApi& api) { api.UnregisterEvent(path, callback); });
}

void ClientApi::SetValue(const std::string& path, const char* value) {
    impl->Forward([&](Proxy::ClientApi& api) { api.SetValue(path, value); });
}

void ClientApi::SetValue(const std::string& path, const std::string& value) {
    impl->Forward([&](Proxy::ClientApi& api) { api.SetValue(path, value); });
}

void ClientApi::SetValue(const std::string& path, double value) {
    impl->Forward([&](Proxy::ClientApi& api) { api.SetValue(path, value); });
}

void ClientApi::SetValue(const std::string& path, long long value) {
    impl->Forward([&](Proxy::ClientApi& api) { api.SetValue(path, value); });
}

void ClientApi::SetValue(const std::string& path, bool value) {
    impl->Forward([&](Proxy::ClientApi& api) { api.SetValue(path, value); });
}

}  // namespace Vexa
