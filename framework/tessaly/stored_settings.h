// The settings that clients wrote, kept in the install directory beside the provider
// catalog so that every later client, in any process, sees them:
// client-settings.json, {"format": 1, "settings": {"label": "lab 3", ...}}, holding
// only the settings written since the last settings.reset. It is a JsonStateFile:
// written atomically, durably and under the writers' lock client-settings.lock.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "shared/json_state_file.h"

namespace Vexa::Framework {

class StoredSettings {
public:
    static constexpr const char* kFileName = "client-settings.json";
    static constexpr const char* kLockFileName = "client-settings.lock";

    explicit StoredSettings(const std::filesystem::path& directory);

    // The stored settings by name; an empty object when none were written. Throws
    // FrameworkException for a damaged file.
    nlohmann::json Read() const;

    // Under the writers' lock: reads the stored settings, lets `change` edit them and
    // writes them back if it returns true.
    void Update(const std::function<bool(nlohmann::json&)>& change);

    // Throws FrameworkException saying that the file is damaged and why.
    [[noreturn]] void Damaged(const std::string& why) const { store.Damaged(why); }

private:
    nlohmann::json Values(std::optional<nlohmann::json> document) const;

    JsonStateFile store;
};

}  // namespace Vexa::Framework
