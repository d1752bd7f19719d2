#include "machine_registry.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace VexaWine {

namespace {

constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kClassesKey[] = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses";
// Marks the keys a test created, so that only those are ever removed.
constexpr char kMarker[] = "VexaTestDevice";

class Key {
public:
    Key(HKEY parent, const std::string& path, bool create, DWORD options = REG_OPTION_NON_VOLATILE) {
        const LONG result = create ? RegCreateKeyExA(parent, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS,
                                                     nullptr, &key, nullptr)
                                   : RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (result != ERROR_SUCCESS) {
            key = nullptr;
            if (create) throw std::runtime_error("cannot create registry key " + path);
        }
    }
    ~Key() {
        if (key != nullptr) RegCloseKey(key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    explicit operator bool() const { return key != nullptr; }
    HKEY Get() const { return key; }

    std::vector<std::string> Subkeys() const {
        std::vector<std::string> names;
        for (DWORD index = 0;; ++index) {
            char name[256];
            DWORD size = sizeof name;
            if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.emplace_back(name, size);
        }
        return names;
    }
    bool Marked() const { return RegQueryValueExA(key, kMarker, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; }
    void SetString(const std::string& name, const std::string& value) {
        if (RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)) != ERROR_SUCCESS)
            throw std::runtime_error("cannot set registry value " + name);
    }
    void SetDword(const std::string& name, DWORD value) {
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) !=
            ERROR_SUCCESS)
            throw std::runtime_error("cannot set registry value " + name);
    }

private:
    HKEY key = nullptr;
};

// Deletes the marked keys found depth levels below path.
void RemoveMarked(const std::string& path, int depth) {
    Key key(HKEY_LOCAL_MACHINE, path, false);
    if (!key) return;
    for (const std::string& name : key.Subkeys()) {
        const std::string child = path + "\\" + name;
        if (depth > 1) {
            RemoveMarked(child, depth - 1);
            continue;
        }
        bool marked = false;
        {
            Key childKey(HKEY_LOCAL_MACHINE, child, false);
            marked = childKey && childKey.Marked();
        }
        if (marked && RegDeleteTreeA(key.Get(), name.c_str()) != ERROR_SUCCESS)
            throw std::runtime_error("cannot remove registry key " + child);
    }
}

std::string Replace(std::string text, char from, char to) {
    for (char& c : text)
        if (c == from) c = to;
    return text;
}

// The machine's Root store through the registry provider. The system provider would do
// on Windows; under Wine 8 a deletion through it never reaches the registry, so the
// registry provider is used for both directions.
class CertificateStore {
public:
    CertificateStore()
        : store(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root")) {
        if (store == nullptr) throw std::runtime_error("cannot open the machine's Root store");
    }
    ~CertificateStore() { CertCloseStore(store, 0); }
    CertificateStore(const CertificateStore&) = delete;
    CertificateStore& operator=(const CertificateStore&) = delete;
    HCERTSTORE Get() const { return store; }

private:
    HCERTSTORE store;
};

}  // namespace

void RemoveDevices() {
    RemoveMarked(kEnumKey, 3);
    RemoveMarked(kClassesKey, 2);
}

void PublishDevices(const nlohmann::json& devices) {
    RemoveDevices();
    for (const nlohmann::json& device : devices) {
        const std::string instanceId = device.at("instance_id").get<std::string>();
        Key deviceKey(HKEY_LOCAL_MACHINE, std::string(kEnumKey) + "\\" + instanceId, true);
        deviceKey.SetDword(kMarker, 1);
        if (device.value("present", true)) Key(deviceKey.Get(), "Control", true, REG_OPTION_VOLATILE);

        const std::string linkName = Replace(instanceId, '\\', '#');
        int ordinal = 0;
        for (const nlohmann::json& interface : device.value("interfaces", nlohmann::json::array())) {
            const std::string interfaceClass = interface.at("class").get<std::string>();
            Key interfaceKey(HKEY_LOCAL_MACHINE,
                             std::string(kClassesKey) + "\\" + interfaceClass + "\\##?#" + linkName + "#" + interfaceClass,
                             true);
            interfaceKey.SetDword(kMarker, 1);
            interfaceKey.SetString("DeviceInstance", instanceId);
            // The first interface of a class on a device has the empty reference string,
            // later ones are told apart by theirs.
            const std::string reference = ordinal == 0 ? "#" : "#" + std::to_string(ordinal);
            ++ordinal;
            Key referenceKey(interfaceKey.Get(), reference, true);
            Key(referenceKey.Get(), "Control", true).SetDword("Linked", interface.value("enabled", true) ? 1 : 0);
            const auto values = interface.find("values");
            if (values == interface.end() || values->is_null()) continue;
            Key parameters(referenceKey.Get(), "Device Parameters", true);
            for (const auto& [name, value] : values->items()) parameters.SetString(name, value.get<std::string>());
        }
    }
}

std::vector<unsigned char> ReadCertificate(const std::filesystem::path& pem) {
    std::ifstream in(pem, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) throw std::runtime_error("cannot read " + pem.string());
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr))
        throw std::runtime_error("no certificate in " + pem.string());
    std::vector<unsigned char> der(size);
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                              &size, nullptr, nullptr))
        throw std::runtime_error("no certificate in " + pem.string());
    der.resize(size);
    return der;
}

void TrustRoot(const std::vector<unsigned char>& der) {
    CertificateStore store;
    if (!CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        throw std::runtime_error("cannot add the certificate to the Root store");
}

void DistrustRoot(const std::vector<unsigned char>& der) {
    CertificateStore store;
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (wanted == nullptr) throw std::runtime_error("not a certificate");
    PCCERT_CONTEXT found = CertFindCertificateInStore(store.Get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted,
                                                      nullptr);
    CertFreeCertificateContext(wanted);
    if (found == nullptr) return;  // not there: nothing to undo
    // CertDeleteCertificateFromStore releases the context it is given, on failure too.
    if (!CertDeleteCertificateFromStore(found))
        throw std::runtime_error("cannot remove the certificate from the Root store (error " +
                                 std::to_string(GetLastError()) + ")");
}

}  // namespace VexaWine
