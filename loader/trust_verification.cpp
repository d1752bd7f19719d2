#include "loader/trust_verification.h"

#include <optional>

#include "loader/code_page.h"
#include "common/win32.h"

namespace Vexa {

namespace {

// One verification of one file. The constructor verifies; the destructor releases the
// state that the verification left behind, with the same arguments.
class TrustState {
public:
    TrustState(LPCWSTR filePath, HANDLE fileHandle) {
        file.cbStruct = sizeof file;
        file.pcwszFilePath = filePath;
        file.hFile = fileHandle;
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        result = WinVerifyTrust(nullptr, &action, &data);
    }
    ~TrustState() {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action, &data);
    }
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;

    LONG Result() const { return result; }

private:
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file = {};
    WINTRUST_DATA data = {};
    LONG result = -1;
};

}  // namespace

UniqueFile OpenUnchangeable(const std::string& narrowPath) {
    const std::optional<std::wstring> wide = CodePage::WideFromNarrow(narrowPath);
    if (!wide) return UniqueFile();
    UniqueFile file(CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file && GetFileType(file.get()) != FILE_TYPE_DISK) return UniqueFile();
    return file;
}

bool IsFileTrusted(const std::string& narrowPath, HANDLE file) {
    const std::optional<std::wstring> wide = CodePage::WideFromNarrow(narrowPath);
    if (!wide || wide->size() >= MAX_PATH) return false;
    WCHAR filePath[MAX_PATH] = {};
    wide->copy(filePath, wide->size());
    return VerifyFileTrust(filePath, file) == 0;
}

LONG VerifyFileTrust(LPCWSTR filePath, HANDLE file) { return TrustState(filePath, file).Result(); }

}  // namespace Vexa
