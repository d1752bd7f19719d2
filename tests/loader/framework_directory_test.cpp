#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "loader/exceptions.h"
#include "loader/framework_directory.h"
#include "machine_state.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

json Interface(const json& values, const std::string& interfaceClass = VexaTest::kFrameworkInterfaceClass,
               bool enabled = true) {
    return {{"class", interfaceClass}, {"enabled", enabled}, {"values", values}};
}

json InstallDir(const std::string& directory) { return {{"InstallDir", directory}}; }

json Device(const std::string& instanceId, const std::vector<json>& interfaces, bool present = true) {
    return {{"instance_id", instanceId}, {"present", present}, {"interfaces", json(interfaces)}};
}

struct Found {
    CONFIGRET status;
    std::string directory;
};

Found Find(ULONG bufferSize = MAX_PATH) {
    std::string buffer(bufferSize, '\0');
    const CONFIGRET status =
        Vexa::FindFrameworkDirectory(&Vexa::kFrameworkInterfaceClass, reinterpret_cast<BYTE*>(buffer.data()), bufferSize);
    return {status, status == CR_SUCCESS ? std::string(buffer.c_str()) : std::string()};
}

class LoaderFrameworkDirectory : public ::testing::Test {
protected:
    VexaTest::MachineState machine;
};

TEST_F(LoaderFrameworkDirectory, FirstListedDeviceWins) {
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir("/first"))}),
                                      Device("SWD\\Vexa\\0002", {Interface(InstallDir("/second"))})}));
    const Found found = Find();
    EXPECT_EQ(found.status, CR_SUCCESS);
    EXPECT_EQ(found.directory, "/first");
}

TEST_F(LoaderFrameworkDirectory, DevicesThatDoNotSupplyTheValueAreSkipped) {
    machine.WriteDevices(json::array({
        Device("ROOT\\Vexa\\0000", {Interface(InstallDir("/not-a-software-device"))}),
        Device("SWD\\Vexa\\0001", {Interface(InstallDir("/absent"))}, false),
        Device("SWD\\Vexa\\0002", {}),
        Device("SWD\\Vexa\\0003", {Interface(InstallDir("/other-class"), "{00000000-0000-0000-0000-000000000001}")}),
        Device("SWD\\Vexa\\0004", {Interface(nullptr)}),
        Device("SWD\\Vexa\\0005", {Interface(json::object())}),
        Device("SWD\\Vexa\\0006", {Interface(InstallDir(std::string(MAX_PATH, 'x')))}),
        Device("SWD\\Vexa\\0007", {Interface(InstallDir("/the-one"))}),
    }));
    const Found found = Find();
    EXPECT_EQ(found.status, CR_SUCCESS);
    EXPECT_EQ(found.directory, "/the-one");
}

TEST_F(LoaderFrameworkDirectory, DisabledInterfaceIsStillRead) {
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir("/disabled"),
                                                                            VexaTest::kFrameworkInterfaceClass, false)})}));
    EXPECT_EQ(Find().directory, "/disabled");
}

TEST_F(LoaderFrameworkDirectory, OnlyTheFirstInterfaceOfADeviceIsOpened) {
    machine.WriteDevices(json::array({
        Device("SWD\\Vexa\\0001", {Interface(json::object()), Interface(InstallDir("/second-interface"))}),
        Device("SWD\\Vexa\\0002", {Interface(InstallDir("/next-device"))}),
    }));
    EXPECT_EQ(Find().directory, "/next-device");

    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(nullptr), Interface(InstallDir("/x"))})}));
    EXPECT_EQ(Find().status, CR_NO_SUCH_VALUE);
}

TEST_F(LoaderFrameworkDirectory, ValueMustFitTheBufferWithItsTerminator) {
    const std::string longest(MAX_PATH - 1, 'a');
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir(longest))})}));
    EXPECT_EQ(Find().directory, longest);

    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir(longest + "a"))})}));
    EXPECT_EQ(Find().status, CR_NO_SUCH_VALUE);
}

TEST_F(LoaderFrameworkDirectory, NothingToFind) {
    machine.WriteDevices(json::array());
    EXPECT_EQ(Find().status, CR_NO_SUCH_VALUE);

    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(json::object())})}));
    EXPECT_EQ(Find().status, CR_NO_SUCH_VALUE);
}

TEST_F(LoaderFrameworkDirectory, MalformedMachineStateIsAFailureNotACrash) {
    machine.WriteDevicesText("{\"devices\": [");
    EXPECT_NE(Find().status, CR_SUCCESS);
    machine.WriteDevicesText("{\"devices\": 7}");
    EXPECT_NE(Find().status, CR_SUCCESS);
}

TEST_F(LoaderFrameworkDirectory, InvalidArgumentsAreRefused) {
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir("/dir"))})}));
    BYTE buffer[MAX_PATH] = {};
    EXPECT_EQ(Vexa::FindFrameworkDirectory(&Vexa::kFrameworkInterfaceClass, nullptr, MAX_PATH), CR_INVALID_POINTER);
    EXPECT_EQ(Vexa::FindFrameworkDirectory(&Vexa::kFrameworkInterfaceClass, buffer, 0), CR_INVALID_POINTER);
    EXPECT_EQ(Vexa::FindFrameworkDirectory(nullptr, buffer, MAX_PATH), CR_INVALID_POINTER);
}

TEST_F(LoaderFrameworkDirectory, LibraryPathJoinsDirectoryAndFileName) {
    const fs::path dir = machine.MakeDirectory("framework");
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir(dir.string()))})}));
    const fs::path withoutSeparator = Vexa::FrameworkLibraryPath("Tessaly.dll");
    // The platform's own separator: "/" here, "\\" on Windows.
    const std::string separator = fs::path("/").make_preferred().string();
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir(dir.string() + separator))})}));
    const fs::path withSeparator = Vexa::FrameworkLibraryPath("Tessaly.dll");

    EXPECT_EQ(withoutSeparator.string(), dir.string() + separator + "Tessaly.dll");
    EXPECT_EQ(withSeparator.string(), withoutSeparator.string());
}

void ExpectFrameworkNotLocated() {
    try {
        Vexa::FrameworkLibraryPath("Orbisk.dll");
        ADD_FAILURE() << "no exception";
    } catch (const Vexa::VexaException& e) {
        EXPECT_EQ(typeid(e), typeid(Vexa::VexaException));
        EXPECT_STREQ(e.what(), "Error Locating Framework Directory");
        EXPECT_EQ(e.code, 1);
    }
}

TEST_F(LoaderFrameworkDirectory, EmptyOrMissingDirectoryIsNotLocated) {
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(InstallDir(""))})}));
    ExpectFrameworkNotLocated();
    machine.WriteDevices(json::array({Device("SWD\\Vexa\\0001", {Interface(json::object())})}));
    ExpectFrameworkNotLocated();
    machine.WriteDevicesText("not json");
    ExpectFrameworkNotLocated();
}

}  // namespace
