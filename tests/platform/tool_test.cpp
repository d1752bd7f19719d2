// The vexa-platform tool, run as a separate process.
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform_test_support.h"

namespace fs = std::filesystem;
using namespace PlatformTest;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quoted(const std::string& argument) {
    std::string quoted = "'";
    for (char c : argument) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class Tool : public ::testing::Test {
protected:
    ToolRun Run(const std::vector<std::string>& arguments) {
        std::string command = Quoted(PLATFORM_TOOL) + " --root " + Quoted(machine.Root().string());
        for (const std::string& argument : arguments) command += " " + Quoted(argument);
        fs::path out = scratch / "out.txt", err = scratch / "err.txt";
        command += " >" + Quoted(out.string()) + " 2>" + Quoted(err.string());
        int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(out), ReadText(err)};
    }

    VexaTest::MachineState machine;
    fs::path scratch = machine.MakeDirectory("scratch");
};

std::string DeviceIdList() {
    ULONG size = 0;
    if (CM_Get_Device_ID_List_SizeA(&size, nullptr, 0) != CR_SUCCESS) return "<error>";
    std::string block(size, '\0');
    if (CM_Get_Device_ID_ListA(nullptr, block.data(), size, 0) != CR_SUCCESS) return "<error>";
    return block;
}

}  // namespace

TEST_F(Tool, PublishListAndRemoveRoundTrip) {
    ASSERT_EQ(Run({"publish", "SWD\\VexaFramework\\0000", "--interface", "{4C0E7A1D-8B2F-4E65-9A13-6F2D5C8B0E47}",
                   "--value", "InstallDir=/opt/vexa=1", "--interface", kOtherClassText, "--disabled", "--no-key"})
                  .status,
              0);
    ASSERT_EQ(Run({"publish", "ROOT\\Other\\0000", "--absent"}).status, 0);
    EXPECT_EQ(DeviceIdList(), std::string("SWD\\VexaFramework\\0000\0ROOT\\Other\\0000\0\0", 40));

    ToolRun list = Run({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out,
              "SWD\\VexaFramework\\0000 present\n"
              "  {4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47} enabled "
              "\\\\?\\SWD#VexaFramework#0000#{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}\n"
              "    InstallDir = /opt/vexa=1\n"
              "  {11111111-2222-3333-4444-555555555555} disabled "
              "\\\\?\\SWD#VexaFramework#0000#{11111111-2222-3333-4444-555555555555} (no key)\n"
              "ROOT\\Other\\0000 absent\n");

    // Publishing an ID again (in any letter case) replaces that device where it stands.
    ASSERT_EQ(Run({"publish", "swd\\vexaframework\\0000"}).status, 0);
    EXPECT_EQ(DeviceIdList(), std::string("swd\\vexaframework\\0000\0ROOT\\Other\\0000\0\0", 40));

    EXPECT_EQ(Run({"remove", "SWD\\VexaFramework\\0000"}).status, 0);
    EXPECT_EQ(DeviceIdList(), std::string("ROOT\\Other\\0000\0\0", 17));
    ToolRun again = Run({"remove", "SWD\\VexaFramework\\0000"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("no device"), std::string::npos) << again.err;
}

TEST_F(Tool, PublishCreatesTheRootDirectory) {
    fs::path root = machine.Root() / "fresh" / "state";
    setenv("VEXA_PLATFORM_ROOT", root.c_str(), 1);
    std::string command = Quoted(PLATFORM_TOOL) + " publish 'SWD\\X\\0' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "the variable names the root when --root is not given";
    EXPECT_EQ(DeviceIdList(), std::string("SWD\\X\\0\0\0", 9));
}

TEST_F(Tool, RefusesToOverwriteADevicesFileThatDoesNotParse) {
    for (const char* text : {"{ broken", "{\"devices\": 3}"}) {
        machine.WriteDevicesText(text);
        ToolRun publish = Run({"publish", "SWD\\X\\0"});
        EXPECT_EQ(publish.status, 1) << text;
        EXPECT_NE(publish.err.find("devices.json"), std::string::npos) << publish.err;
        EXPECT_EQ(Run({"remove", "SWD\\X\\0"}).status, 1);
        EXPECT_EQ(Run({"list"}).status, 1);
        EXPECT_EQ(ReadText(machine.Root() / "devices.json"), text);
    }
}

TEST_F(Tool, UsageErrorsExitWithTwoAndTheUsage) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frobnicate"},
        {"publish"},
        {"publish", "SWD\\X\\0", "--value", "A=B"},
        {"publish", "SWD\\X\\0", "--interface", "not-a-guid"},
        {"publish", "SWD\\X\\0", "--interface", kOtherClassText, "--no-key", "--value", "A=B"},
        {"publish", "SWD\\X\\0", "--interface", kOtherClassText, "--value", "A=1", "--value", "a=2"},
        {"publish", "SWD X"},
        {"remove"},
        {"list", "extra"},
        {"sign", "file"},
        {"verify"},
    };
    for (const std::vector<std::string>& arguments : wrong) {
        ToolRun run = Run(arguments);
        EXPECT_EQ(run.status, 2) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_NE(run.err.find("usage:"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(machine.Root() / "devices.json")) << "nothing was published";
}

TEST_F(Tool, SignTrustAndVerify) {
    fs::path library = scratch / "Library.dll";
    WriteBytes(library, {'\x7f', 'E', 'L', 'F', 1, 2, 3});
    ASSERT_EQ(::chmod(library.c_str(), 0755), 0);

    ToolRun unsigned_ = Run({"verify", library.string()});
    EXPECT_EQ(unsigned_.status, 1);
    EXPECT_EQ(unsigned_.out.rfind("0x800B0100 ", 0), 0u) << unsigned_.out;

    Signer signer = DevelopmentSigner();
    ASSERT_EQ(Run({"sign", library.string(), "--key", signer.key.string(), "--cert", signer.cert.string()}).status, 0);
    struct stat info {};
    ASSERT_EQ(::stat(library.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);

    ToolRun untrusted = Run({"verify", library.string()});
    EXPECT_EQ(untrusted.status, 1);
    EXPECT_EQ(untrusted.out.rfind("0x800B0109 ", 0), 0u) << untrusted.out;

    ASSERT_EQ(Run({"trust", VexaTest::DevelopmentRootCertificate().string()}).status, 0);
    ToolRun trusted = Run({"verify", library.string()});
    EXPECT_EQ(trusted.status, 0);
    EXPECT_EQ(trusted.out.rfind("0x00000000 ", 0), 0u) << trusted.out;
}

TEST_F(Tool, TrustRefusesWhatIsNoCertificateAndNeverOverwrites) {
    fs::path notPem = scratch / "root-cert.pem";
    WriteBytes(notPem, {'n', 'o'});
    EXPECT_EQ(Run({"trust", notPem.string()}).status, 1);
    ASSERT_EQ(Run({"trust", VexaTest::DevelopmentRootCertificate().string()}).status, 0);
    EXPECT_EQ(Run({"trust", VexaTest::DevelopmentRootCertificate().string()}).status, 0) << "the same file again";
    fs::path sameName = scratch / VexaTest::DevelopmentRootCertificate().filename();
    fs::copy_file(TestCertificate("other-root"), sameName, fs::copy_options::overwrite_existing);
    ToolRun clash = Run({"trust", sameName.string()});
    EXPECT_EQ(clash.status, 1);
    EXPECT_EQ(ReadText(machine.Root() / "trust" / sameName.filename()),
              ReadText(VexaTest::DevelopmentRootCertificate()));
}
