// sign, verify and trust: the signer's part and the machine's trusted roots.
#include <cstdio>
#include <iostream>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "code_signing.h"
#include "commands.h"
#include "file_io.h"
#include "machine_state_directory.h"
#include "openssl_owners.h"
#include "text.h"
#include "win_verify_trust.h"

namespace fs = std::filesystem;

namespace VexaPlatformTool {

int Sign(const Arguments& arguments) {
    std::string file, key, cert;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--key" || argument == "--cert") {
            if (i + 1 >= arguments.size()) throw UsageError(argument + " needs a PEM file");
            (argument == "--key" ? key : cert) = arguments[++i];
        } else if (file.empty() && !argument.empty() && argument[0] != '-') {
            file = argument;
        } else {
            throw UsageError("sign: unexpected argument \"" + argument + "\"");
        }
    }
    if (file.empty() || key.empty() || cert.empty()) throw UsageError("sign needs FILE, --key and --cert");
    try {
        VexaPlatform::SignFile(file, key, cert);
    } catch (const VexaPlatform::SigningError& error) {
        throw CommandError(error.what());
    }
    return 0;
}

int Verify(const Arguments& arguments) {
    if (arguments.size() != 1) throw UsageError("verify needs exactly one FILE");
    std::optional<std::wstring> widePath = VexaPlatform::WideFromUtf8(arguments[0]);
    if (!widePath) throw CommandError("the path " + arguments[0] + " is not UTF-8 text");

    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = widePath->c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);

    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
    std::cout << code << " " << VexaPlatform::DescribeTrustStatus(status) << "\n";
    return status == 0 ? 0 : 1;
}

// Copies the PEM file into trust/ under its own name. A different file of that
// name already there is never overwritten.
int Trust(const fs::path& root, const Arguments& arguments) {
    if (arguments.size() != 1) throw UsageError("trust needs exactly one PEM_FILE");
    fs::path pem = arguments[0];
    std::optional<std::vector<unsigned char>> bytes = VexaPlatform::ReadFileBytes(pem);
    if (!bytes) throw CommandError("cannot read " + pem.string());

    VexaPlatform::BioPtr input = VexaPlatform::MemoryReader(bytes->data(), bytes->size());
    int certificates = 0;
    while (VexaPlatform::X509Ptr cert{PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr)}) ++certificates;
    ERR_clear_error();
    if (certificates == 0) throw CommandError(pem.string() + " holds no PEM certificate");

    fs::path directory = root / VexaPlatform::kTrustDirectory;
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) throw CommandError("cannot create " + directory.string() + ": " + error.message());
    fs::path target = directory / pem.filename();
    if (fs::exists(target, error)) {
        if (VexaPlatform::ReadFileBytes(target) == bytes) return 0;
        throw CommandError(target.string() + " already exists with other content; rename the PEM file");
    }
    VexaPlatform::WriteFileAtomically(target, bytes->data(), bytes->size(), 0644);
    return 0;
}

}  // namespace VexaPlatformTool
