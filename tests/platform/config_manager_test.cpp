// Device ID lists, device-interface lists and interface keys over the machine state.
#include <functional>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform_test_support.h"

using nlohmann::json;
using namespace PlatformTest;

namespace {

struct ListResult {
    CONFIGRET sizeStatus = CR_FAILURE;
    CONFIGRET listStatus = CR_FAILURE;
    ULONG size = 0;
    std::string block;  // exactly `size` bytes when both calls succeed
};

ListResult DeviceIds(const char* filter, ULONG flags) {
    ListResult result;
    result.sizeStatus = CM_Get_Device_ID_List_SizeA(&result.size, filter, flags);
    if (result.sizeStatus != CR_SUCCESS) return result;
    std::string buffer(result.size, '\x7f');
    result.listStatus = CM_Get_Device_ID_ListA(filter, buffer.data(), result.size, flags);
    result.block = buffer;
    return result;
}

ListResult Interfaces(GUID interfaceClass, const char* deviceId, ULONG flags) {
    ListResult result;
    std::string id = deviceId != nullptr ? deviceId : "";
    char* idArgument = deviceId != nullptr ? id.data() : nullptr;
    result.sizeStatus = CM_Get_Device_Interface_List_SizeA(&result.size, &interfaceClass, idArgument, flags);
    if (result.sizeStatus != CR_SUCCESS) return result;
    std::string buffer(result.size, '\x7f');
    result.listStatus = CM_Get_Device_Interface_ListA(&interfaceClass, idArgument, buffer.data(), result.size, flags);
    result.block = buffer;
    return result;
}

std::string Multi(std::initializer_list<std::string> items) {
    std::string block;
    for (const std::string& item : items) block += item + '\0';
    return block + '\0';
}

json Interface(const char* interfaceClass, bool enabled, json values) {
    return {{"class", interfaceClass}, {"enabled", enabled}, {"values", std::move(values)}};
}

json Device(const std::string& id, bool present, json interfaces = json::array()) {
    return {{"instance_id", id}, {"present", present}, {"interfaces", std::move(interfaces)}};
}

const char* const kLinkBase = "\\\\?\\SWD#VexaFramework#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}";

}  // namespace

// ---- device ID lists ----

TEST(ConfigManagerIdList, EmptyListIsOneTerminatingZero) {
    VexaTest::MachineState machine;  // no devices.json at all
    ListResult none = DeviceIds(nullptr, CM_GETIDLIST_FILTER_NONE);
    EXPECT_EQ(none.sizeStatus, CR_SUCCESS);
    EXPECT_EQ(none.listStatus, CR_SUCCESS);
    EXPECT_EQ(none.size, 1u);
    EXPECT_EQ(none.block, std::string(1, '\0'));

    machine.WriteDevices(json::array());
    ListResult empty = DeviceIds("SWD", CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT);
    EXPECT_EQ(empty.size, 1u);
    EXPECT_EQ(empty.block, std::string(1, '\0'));
}

TEST(ConfigManagerIdList, ListsIdsInFileOrderWithSizeCountingTheFinalEmptyString) {
    VexaTest::MachineState machine;
    machine.WriteDevices({Device("SWD\\B\\1", true), Device("ROOT\\A\\0", true)});
    ListResult all = DeviceIds(nullptr, CM_GETIDLIST_FILTER_NONE);
    ASSERT_EQ(all.listStatus, CR_SUCCESS);
    EXPECT_EQ(all.block, Multi({"SWD\\B\\1", "ROOT\\A\\0"}));
    EXPECT_EQ(all.size, 8u + 9u + 1u);
}

TEST(ConfigManagerIdList, EnumeratorFilterMatchesWholeComponentsIgnoringCase) {
    VexaTest::MachineState machine;
    machine.WriteDevices({Device("SWD\\VexaFramework\\0000", true), Device("ROOT\\Other\\0000", true),
                          Device("swd\\Second\\0001", true), Device("SWDX\\Lookalike\\0000", true)});
    EXPECT_EQ(DeviceIds("SWD", CM_GETIDLIST_FILTER_ENUMERATOR).block,
              Multi({"SWD\\VexaFramework\\0000", "swd\\Second\\0001"}));
    EXPECT_EQ(DeviceIds("Swd", CM_GETIDLIST_FILTER_ENUMERATOR).block,
              Multi({"SWD\\VexaFramework\\0000", "swd\\Second\\0001"}));
    EXPECT_EQ(DeviceIds("SWD\\VexaFramework", CM_GETIDLIST_FILTER_ENUMERATOR).block,
              Multi({"SWD\\VexaFramework\\0000"}));
    EXPECT_EQ(DeviceIds("PCI", CM_GETIDLIST_FILTER_ENUMERATOR).block, Multi({}));
    // Without the enumerator flag the filter text is not looked at.
    EXPECT_EQ(DeviceIds("PCI", CM_GETIDLIST_FILTER_NONE).size, DeviceIds(nullptr, 0).size);
    EXPECT_GT(DeviceIds(nullptr, 0).size, 1u);
}

TEST(ConfigManagerIdList, PresentFilterDropsAbsentDevices) {
    VexaTest::MachineState machine;
    machine.WriteDevices({Device("SWD\\Gone\\0000", false), Device("SWD\\Here\\0000", true),
                          Device("ROOT\\Here\\0000", true)});
    EXPECT_EQ(DeviceIds(nullptr, CM_GETIDLIST_FILTER_PRESENT).block, Multi({"SWD\\Here\\0000", "ROOT\\Here\\0000"}));
    EXPECT_EQ(DeviceIds("SWD", CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT).block,
              Multi({"SWD\\Here\\0000"}));
    EXPECT_EQ(DeviceIds("SWD", CM_GETIDLIST_FILTER_ENUMERATOR).block, Multi({"SWD\\Gone\\0000", "SWD\\Here\\0000"}));
}

TEST(ConfigManagerIdList, BufferOneByteShortIsBufferSmall) {
    VexaTest::MachineState machine;
    machine.WriteDevices(json::array({Device("SWD\\A\\0", true)}));
    ULONG size = 0;
    ASSERT_EQ(CM_Get_Device_ID_List_SizeA(&size, nullptr, 0), CR_SUCCESS);
    std::string buffer(size, '#');
    EXPECT_EQ(CM_Get_Device_ID_ListA(nullptr, buffer.data(), size - 1, 0), CR_BUFFER_SMALL);
    EXPECT_EQ(buffer, std::string(size, '#')) << "a refused buffer is left alone";
    EXPECT_EQ(CM_Get_Device_ID_ListA(nullptr, buffer.data(), size, 0), CR_SUCCESS);
}

TEST(ConfigManagerIdList, RefusesNullPointersAndUnknownFlags) {
    VexaTest::MachineState machine;
    ULONG size = 99;
    char buffer[8];
    EXPECT_EQ(CM_Get_Device_ID_List_SizeA(nullptr, nullptr, 0), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_ID_ListA(nullptr, nullptr, 8, 0), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_ID_ListA(nullptr, buffer, 0, 0), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_ID_List_SizeA(&size, nullptr, 0x2), CR_INVALID_FLAG);
    EXPECT_EQ(CM_Get_Device_ID_ListA(nullptr, buffer, 8, 0x2), CR_INVALID_FLAG);
}

// ---- device-interface lists ----

class ConfigManagerInterfaces : public ::testing::Test {
protected:
    void SetUp() override {
        machine.WriteDevices({
            Device("SWD\\VexaFramework\\0000", true,
                   {Interface(kOtherClassText, true, {{"InstallDir", "/other"}}),
                    Interface(kFrameworkClassText, false, {{"InstallDir", "/disabled"}}),
                    Interface(kFrameworkClassText, true, {{"InstallDir", "/enabled"}}),
                    Interface(kFrameworkClassText, true, nullptr)}),
            Device("SWD\\Absent\\0000", false, {Interface(kFrameworkClassText, true, {{"InstallDir", "/absent"}})}),
            Device("SWD\\Bare\\0000", true),
        });
    }
    VexaTest::MachineState machine;
};

TEST_F(ConfigManagerInterfaces, WithoutAllDevicesListsOnlyEnabledInterfacesOfPresentDevices) {
    std::string first = std::string(kLinkBase) + "\\2";
    std::string second = std::string(kLinkBase) + "\\3";
    EXPECT_EQ(Interfaces(kFrameworkClass, "SWD\\VexaFramework\\0000", CM_GET_DEVICE_INTERFACE_LIST_PRESENT).block,
              Multi({first, second}));
    EXPECT_EQ(Interfaces(kFrameworkClass, "SWD\\Absent\\0000", CM_GET_DEVICE_INTERFACE_LIST_PRESENT).block, Multi({}));
}

TEST_F(ConfigManagerInterfaces, AllDevicesListsDisabledInterfacesAndAbsentDevicesToo) {
    ListResult all = Interfaces(kFrameworkClass, "SWD\\VexaFramework\\0000", CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES);
    ASSERT_EQ(all.listStatus, CR_SUCCESS);
    EXPECT_EQ(all.block,
              Multi({kLinkBase, std::string(kLinkBase) + "\\2", std::string(kLinkBase) + "\\3"}));
    EXPECT_EQ(all.size, all.block.size());
    EXPECT_EQ(Interfaces(kFrameworkClass, "SWD\\Absent\\0000", CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES).block,
              Multi({"\\\\?\\SWD#Absent#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"}));
}

TEST_F(ConfigManagerInterfaces, ListsOnlyTheRequestedClass) {
    EXPECT_EQ(Interfaces(kOtherClass, "SWD\\VexaFramework\\0000", CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES).block,
              Multi({"\\\\?\\SWD#VexaFramework#0000#{11111111-2222-3333-4444-555555555555}"}));
}

TEST_F(ConfigManagerInterfaces, DeviceWithoutInterfacesGivesOneTerminatingZero) {
    ListResult bare = Interfaces(kFrameworkClass, "SWD\\Bare\\0000", CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES);
    EXPECT_EQ(bare.listStatus, CR_SUCCESS);
    EXPECT_EQ(bare.size, 1u);
    EXPECT_EQ(bare.block, std::string(1, '\0'));
}

TEST_F(ConfigManagerInterfaces, DeviceIdComparesIgnoringCaseAndNoDeviceListsEveryDevice) {
    EXPECT_EQ(Interfaces(kFrameworkClass, "swd\\vexaframework\\0000", CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES).size,
              Interfaces(kFrameworkClass, "SWD\\VexaFramework\\0000", CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES).size);
    ListResult everyDevice = Interfaces(kFrameworkClass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES);
    EXPECT_EQ(everyDevice.block, Multi({kLinkBase, std::string(kLinkBase) + "\\2", std::string(kLinkBase) + "\\3",
                                        "\\\\?\\SWD#Absent#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"}));
}

TEST_F(ConfigManagerInterfaces, UnknownOrInvalidDeviceAndBadArgumentsAreRefused) {
    EXPECT_EQ(Interfaces(kFrameworkClass, "SWD\\Nobody\\0000", 0).sizeStatus, CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(Interfaces(kFrameworkClass, "SWD\\Has Space", 0).sizeStatus, CR_INVALID_DEVICE_ID);
    ULONG size = 0;
    GUID interfaceClass = kFrameworkClass;
    char buffer[4];
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeA(nullptr, &interfaceClass, nullptr, 0), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeA(&size, nullptr, nullptr, 0), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeA(&size, &interfaceClass, nullptr, 0x2), CR_INVALID_FLAG);
    EXPECT_EQ(CM_Get_Device_Interface_ListA(&interfaceClass, nullptr, nullptr, 4, 0), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_Interface_ListA(&interfaceClass, nullptr, buffer, 4, 0x2), CR_INVALID_FLAG);
    EXPECT_EQ(CM_Get_Device_Interface_ListA(&interfaceClass, nullptr, buffer, 4, 1), CR_BUFFER_SMALL);
}

// ---- interface keys ----

namespace {

std::string ValueOf(HKEY key, const char* name) {
    char data[MAX_PATH] = {};
    DWORD size = sizeof data;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size);
    return status == ERROR_SUCCESS ? std::string(data) : "<status " + std::to_string(status) + ">";
}

}  // namespace

TEST_F(ConfigManagerInterfaces, EachLinkOpensItsOwnInterfaceKey) {
    struct Case {
        std::string link;
        const char* installDir;
    } cases[] = {
        {kLinkBase, "/disabled"},
        {std::string(kLinkBase) + "\\2", "/enabled"},
        {"\\\\?\\swd#vexaframework#0000#{4C0E7A1D-8B2F-4E65-9A13-6F2D5C8B0E47}\\2", "/enabled"},
        {"\\\\?\\SWD#VexaFramework#0000#{11111111-2222-3333-4444-555555555555}", "/other"},
        {"\\\\?\\SWD#Absent#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}", "/absent"},
    };
    for (const Case& c : cases) {
        HKEY key = nullptr;
        ASSERT_EQ(CM_Open_Device_Interface_Key_ExA(c.link.c_str(), GENERIC_READ, RegDisposition_OpenExisting, &key, 0,
                                                   nullptr),
                  CR_SUCCESS)
            << c.link;
        EXPECT_EQ(ValueOf(key, "InstallDir"), c.installDir) << c.link;
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
}

TEST_F(ConfigManagerInterfaces, InterfaceWithoutKeyCannotBeOpenedExisting) {
    std::string link = std::string(kLinkBase) + "\\3";
    HKEY key = reinterpret_cast<HKEY>(&machine);
    EXPECT_EQ(CM_Open_Device_Interface_Key_ExA(link.c_str(), GENERIC_READ, RegDisposition_OpenExisting, &key, 0, nullptr),
              CR_NO_SUCH_REGISTRY_KEY);
    EXPECT_EQ(key, nullptr);
    // OpenAlways gives an empty key, which is not written back.
    ASSERT_EQ(CM_Open_Device_Interface_Key_ExA(link.c_str(), GENERIC_READ, RegDisposition_OpenAlways, &key, 0, nullptr),
              CR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "InstallDir", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(CM_Open_Device_Interface_Key_ExA(link.c_str(), GENERIC_READ, RegDisposition_OpenExisting, &key, 0, nullptr),
              CR_NO_SUCH_REGISTRY_KEY);
}

TEST_F(ConfigManagerInterfaces, OpenRefusesUnknownLinksAndBadArguments) {
    HKEY key = nullptr;
    auto open = [&](const char* link, REGDISPOSITION disposition, ULONG flags, HMACHINE machineHandle) {
        return CM_Open_Device_Interface_Key_ExA(link, GENERIC_READ, disposition, &key, flags, machineHandle);
    };
    EXPECT_EQ(open("\\\\?\\SWD#Nobody#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}", 1, 0, nullptr),
              CR_NO_SUCH_DEVICE_INTERFACE);
    EXPECT_EQ(open((std::string(kLinkBase) + "\\4").c_str(), 1, 0, nullptr), CR_NO_SUCH_DEVICE_INTERFACE);
    EXPECT_EQ(open("", 1, 0, nullptr), CR_NO_SUCH_DEVICE_INTERFACE);
    EXPECT_EQ(open(nullptr, 1, 0, nullptr), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Open_Device_Interface_Key_ExA(kLinkBase, GENERIC_READ, 1, nullptr, 0, nullptr), CR_INVALID_POINTER);
    EXPECT_EQ(open(kLinkBase, 7, 0, nullptr), CR_INVALID_DATA);
    EXPECT_EQ(open(kLinkBase, 1, 1, nullptr), CR_INVALID_FLAG);
    EXPECT_EQ(open(kLinkBase, 1, 0, reinterpret_cast<HMACHINE>(&key)), CR_MACHINE_UNAVAILABLE);
    EXPECT_EQ(key, nullptr);
}

TEST_F(ConfigManagerInterfaces, StateIsReadAfreshButAnOpenKeyIsASnapshot) {
    std::string link = std::string(kLinkBase) + "\\2";
    HKEY key = nullptr;
    ASSERT_EQ(CM_Open_Device_Interface_Key_ExA(link.c_str(), GENERIC_READ, RegDisposition_OpenExisting, &key, 0, nullptr),
              CR_SUCCESS);
    machine.WriteDevices(json::array({Device("SWD\\VexaFramework\\0000", true,
                                             {Interface(kFrameworkClassText, true, {{"InstallDir", "/changed"}})})}));
    EXPECT_EQ(ValueOf(key, "InstallDir"), "/enabled");
    RegCloseKey(key);
    ASSERT_EQ(CM_Open_Device_Interface_Key_ExA(kLinkBase, GENERIC_READ, RegDisposition_OpenExisting, &key, 0, nullptr),
              CR_SUCCESS);
    EXPECT_EQ(ValueOf(key, "InstallDir"), "/changed");
    RegCloseKey(key);
    EXPECT_EQ(DeviceIds(nullptr, 0).block, Multi({"SWD\\VexaFramework\\0000"}));
}

// ---- unusable machine states ----

namespace {

// Every Configuration Manager call reports the fault, and nothing is rewritten.
void ExpectEveryCallFails(const VexaTest::MachineState& machine, const std::string& why) {
    ULONG size = 12345;
    char buffer[64];
    GUID interfaceClass = kFrameworkClass;
    char deviceId[] = "SWD\\VexaFramework\\0000";
    HKEY key = nullptr;
    EXPECT_EQ(CM_Get_Device_ID_List_SizeA(&size, "SWD", 0x101), CR_REGISTRY_ERROR) << why;
    EXPECT_EQ(CM_Get_Device_ID_ListA("SWD", buffer, sizeof buffer, 0x101), CR_REGISTRY_ERROR) << why;
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeA(&size, &interfaceClass, deviceId, 1), CR_REGISTRY_ERROR) << why;
    EXPECT_EQ(CM_Get_Device_Interface_ListA(&interfaceClass, deviceId, buffer, sizeof buffer, 1), CR_REGISTRY_ERROR)
        << why;
    EXPECT_EQ(CM_Open_Device_Interface_Key_ExA(kLinkBase, GENERIC_READ, 1, &key, 0, nullptr), CR_REGISTRY_ERROR) << why;
    EXPECT_EQ(key, nullptr);
    (void)machine;
}

}  // namespace

TEST(ConfigManagerBadState, MissingRootDirectoryIsAnError) {
    VexaTest::MachineState machine;
    setenv("VEXA_PLATFORM_ROOT", (machine.Root() / "nowhere").c_str(), 1);
    ExpectEveryCallFails(machine, "missing root");
    EXPECT_FALSE(std::filesystem::exists(machine.Root() / "nowhere"));
}

TEST(ConfigManagerBadState, UnreadableOrNonJsonFileIsAnErrorAndStaysAsItIs) {
    const char* const texts[] = {"", "not json", "{\"devices\": [", "{\"devices\": []} trailing", "\xff\xfe{}"};
    for (const char* text : texts) {
        VexaTest::MachineState machine;
        machine.WriteDevicesText(text);
        ExpectEveryCallFails(machine, std::string("text: ") + text);
        EXPECT_EQ(ReadText(machine.Root() / "devices.json"), text);
    }
    VexaTest::MachineState machine;
    std::filesystem::create_directory(machine.Root() / "devices.json");
    ExpectEveryCallFails(machine, "devices.json is a directory");
}

TEST(ConfigManagerBadState, WrongShapeIsAnError) {
    const json good = Device("SWD\\A\\0", true, {Interface(kFrameworkClassText, true, {{"InstallDir", "/x"}})});
    auto with = [&](const std::function<void(json&)>& change) {
        json device = good;
        change(device);
        return json{{"devices", {device}}};
    };
    const std::pair<const char*, json> cases[] = {
        {"array at top", json::array()},
        {"no devices", json::object()},
        {"devices not an array", json{{"devices", json::object()}}},
        {"device not an object", json{{"devices", {1}}}},
        {"no instance_id", with([](json& d) { d.erase("instance_id"); })},
        {"instance_id a number", with([](json& d) { d["instance_id"] = 7; })},
        {"instance_id empty", with([](json& d) { d["instance_id"] = ""; })},
        {"instance_id with a space", with([](json& d) { d["instance_id"] = "SWD\\A B"; })},
        {"present missing", with([](json& d) { d.erase("present"); })},
        {"present a string", with([](json& d) { d["present"] = "yes"; })},
        {"interfaces missing", with([](json& d) { d.erase("interfaces"); })},
        {"interfaces an object", with([](json& d) { d["interfaces"] = json::object(); })},
        {"interface not an object", with([](json& d) { d["interfaces"] = {"x"}; })},
        {"class missing", with([](json& d) { d["interfaces"][0].erase("class"); })},
        {"class not a GUID", with([](json& d) { d["interfaces"][0]["class"] = "4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47"; })},
        {"enabled missing", with([](json& d) { d["interfaces"][0].erase("enabled"); })},
        {"values missing", with([](json& d) { d["interfaces"][0].erase("values"); })},
        {"values an array", with([](json& d) { d["interfaces"][0]["values"] = json::array(); })},
        {"value a number", with([](json& d) { d["interfaces"][0]["values"]["InstallDir"] = 5; })},
        {"same device twice", json{{"devices", {good, with([](json& d) { d["instance_id"] = "swd\\a\\0"; })["devices"][0]}}}},
    };
    for (const auto& [why, document] : cases) {
        VexaTest::MachineState machine;
        std::string text = document.dump();
        machine.WriteDevicesText(text);
        ExpectEveryCallFails(machine, why);
        EXPECT_EQ(ReadText(machine.Root() / "devices.json"), text) << why;
    }
    // The same document without the fault is accepted.
    VexaTest::MachineState machine;
    machine.WriteDevicesText(json{{"devices", {good}}}.dump());
    ULONG size = 0;
    EXPECT_EQ(CM_Get_Device_ID_List_SizeA(&size, "SWD", 0x101), CR_SUCCESS);
}
