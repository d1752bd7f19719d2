#include "tessaly/stored_settings.h"

#include <utility>

using nlohmann::json;

namespace Vexa::Framework {

namespace {

constexpr int kFormat = 1;

}  // namespace

StoredSettings::StoredSettings(const std::filesystem::path& directory)
    : store(directory, kFileName, kLockFileName, "Settings file") {}

json StoredSettings::Read() const { return Values(store.Read()); }

json StoredSettings::Values(std::optional<json> document) const {
    if (!document) return json::object();
    if (!document->is_object() || document->value("format", json()) != kFormat)
        Damaged("not a format " + std::to_string(kFormat) + " settings file");
    auto settings = document->find("settings");
    if (settings == document->end() || !settings->is_object()) Damaged("no settings object");
    return std::move(*settings);
}

void StoredSettings::Update(const std::function<bool(json&)>& change) {
    store.Update([&](std::optional<json>& document) {
        json values = Values(std::move(document));
        if (!change(values)) return false;
        document = json{{"format", kFormat}, {"settings", std::move(values)}};
        return true;
    });
}

}  // namespace Vexa::Framework
