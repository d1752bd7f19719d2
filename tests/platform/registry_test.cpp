// RegQueryValueExA and RegCloseKey on interface keys.
#include <cstring>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform_test_support.h"

using namespace PlatformTest;

namespace {

// A machine with one interface key holding `values`, opened for the test.
class RegistryKey : public ::testing::Test {
protected:
    void Open(const nlohmann::json& values) {
        machine.WriteDevices({{{"instance_id", "SWD\\VexaFramework\\0000"},
                               {"present", true},
                               {"interfaces", {{{"class", kFrameworkClassText}, {"enabled", true}, {"values", values}}}}}});
        ASSERT_EQ(CM_Open_Device_Interface_Key_ExA(
                      "\\\\?\\SWD#VexaFramework#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}", GENERIC_READ,
                      RegDisposition_OpenExisting, &key, 0, nullptr),
                  CR_SUCCESS);
    }
    void TearDown() override {
        if (key != nullptr) {
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        }
    }
    VexaTest::MachineState machine;
    HKEY key = nullptr;
};

}  // namespace

TEST_F(RegistryKey, ValueOf259CharactersFitsMaxPathAnd260DoNot) {
    Open({{"Fits", std::string(259, 'a')}, {"TooLong", std::string(260, 'b')}});
    BYTE buffer[MAX_PATH + 8];
    std::memset(buffer, 0x7f, sizeof buffer);
    DWORD size = MAX_PATH;
    ASSERT_EQ(RegQueryValueExA(key, "Fits", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 260u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), std::string(259, 'a'));
    EXPECT_EQ(buffer[MAX_PATH], 0x7f) << "nothing is written beyond the size given";

    size = MAX_PATH;
    EXPECT_EQ(RegQueryValueExA(key, "TooLong", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 261u) << "the needed size, terminator included";
}

TEST_F(RegistryKey, NullDataPointerGivesTheNeededSizeAndTheType) {
    Open({{"InstallDir", "/opt/vexa"}, {"Empty", ""}});
    DWORD type = REG_NONE;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "InstallDir", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(RegQueryValueExA(key, "Empty", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(RegQueryValueExA(key, "InstallDir", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}

TEST_F(RegistryKey, NamesCompareIgnoringCaseAndMissingValuesAreNotFound) {
    Open({{"InstallDir", "/opt/vexa"}});
    char buffer[32] = {};
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "INSTALLDIR", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "/opt/vexa");
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "InstallDirectory", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND)
        << "no default value was set";
}

TEST_F(RegistryKey, EmptyKeyHasNoValues) {
    Open(nlohmann::json::object());
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "InstallDir", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKey, BadArgumentsAreRefused) {
    Open({{"InstallDir", "/opt/vexa"}});
    BYTE buffer[16];
    DWORD size = sizeof buffer;
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(nullptr, "InstallDir", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(key, "InstallDir", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "InstallDir", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
}
