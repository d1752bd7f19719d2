// Tamper sweep: a signed client library with one byte changed, at hundreds of positions
// spread over every part of the file (ELF header, program headers, code, data, section
// headers, the signature block, its length and the marker), is refused every time by
// Vexa::ClientApi, and none of its code ever runs.
//
// Two libraries are swept: a recording test library whose load-time constructor writes
// a "load" line (so any code of it that ran would show in its record), and the sample
// framework's own Tessaly.dll (which must never appear among the process's mappings).
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "loader/client_api_wrapper.h"
#include "loader/exceptions.h"
#include "interfaces/unique_fd.h"
#include "machine_state.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kRefusal[] = "Failed to load library: Tessaly.dll : 42 : Invalid Digital Signature";
constexpr char kMarker[] = "~VexaSignature~\n";
constexpr std::size_t kMarkerSize = sizeof kMarker - 1;
constexpr std::size_t kLengthSize = 8;

// The fewest positions a sweep may change, and the fewest in each named region.
constexpr std::size_t kMinimumPositions = 500;
constexpr std::size_t kMinimumPerRegion = 8;

std::vector<unsigned char> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sets an environment variable for its lifetime and restores the previous state.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value) : name(std::move(name)) {
        if (const char* old = std::getenv(this->name.c_str())) previous = old;
        setenv(this->name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (previous)
            setenv(name.c_str(), previous->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name;
    std::optional<std::string> previous;
};

// A named byte range [begin, end) of the signed file.
struct Region {
    std::string name;
    std::size_t begin;
    std::size_t end;
    bool loaded;  // mapped into memory when the library is loaded
};

// Splits a signed ELF file into the parts a sweep must reach: the ELF header, the
// program header table, every section with contents in the file, the section header
// table, and the three parts of the signature trailer.
std::vector<Region> SignedFileRegions(const std::vector<unsigned char>& file) {
    std::vector<Region> regions;
    const std::size_t size = file.size();
    if (size < sizeof(Elf64_Ehdr) + kLengthSize + kMarkerSize) return regions;
    if (std::memcmp(file.data() + size - kMarkerSize, kMarker, kMarkerSize) != 0) return regions;
    std::uint64_t blockLength = 0;
    for (std::size_t i = 0; i < kLengthSize; ++i)
        blockLength |= std::uint64_t(file[size - kMarkerSize - kLengthSize + i]) << (8 * i);
    const std::size_t lengthAt = size - kMarkerSize - kLengthSize;
    if (blockLength == 0 || blockLength > lengthAt) return regions;
    const std::size_t blockAt = lengthAt - blockLength;

    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return regions;
    regions.push_back({"ELF header", 0, sizeof header, true});
    regions.push_back({"program headers", header.e_phoff,
                       header.e_phoff + std::size_t(header.e_phnum) * header.e_phentsize, true});
    const std::size_t sectionTable = header.e_shoff;
    const std::size_t sectionTableEnd = sectionTable + std::size_t(header.e_shnum) * header.e_shentsize;
    if (sectionTableEnd > blockAt) return {};
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        std::memcpy(&section, file.data() + sectionTable + std::size_t(i) * header.e_shentsize, sizeof section);
        if (section.sh_type == SHT_NOBITS || section.sh_type == SHT_NULL || section.sh_size == 0) continue;
        if (section.sh_offset + section.sh_size > blockAt) return {};
        // Names come from the section name string table.
        Elf64_Shdr names;
        std::memcpy(&names, file.data() + sectionTable + std::size_t(header.e_shstrndx) * header.e_shentsize,
                    sizeof names);
        const char* name = reinterpret_cast<const char*>(file.data() + names.sh_offset + section.sh_name);
        regions.push_back({std::string("section ") + name, section.sh_offset, section.sh_offset + section.sh_size,
                           (section.sh_flags & SHF_ALLOC) != 0});
    }
    regions.push_back({"section headers", sectionTable, sectionTableEnd, false});
    regions.push_back({"signature block", blockAt, lengthAt, false});
    regions.push_back({"signature length", lengthAt, lengthAt + kLengthSize, false});
    regions.push_back({"signature marker", lengthAt + kLengthSize, size, false});
    return regions;
}

// How densely a sweep covers the file.
struct SweepDensity {
    std::size_t perRegion;       // spread evenly over each region not swept whole
    std::size_t signatureBlock;  // spread evenly over the signature block
    std::size_t image;           // spread evenly over the loaded image (headers, code, data)
    std::size_t file;            // spread evenly over the whole file (padding between parts too)
};

void InsertSpread(std::set<std::size_t>& positions, std::size_t begin, std::size_t end, std::size_t count) {
    const std::size_t length = end - begin;
    if (length == 0) return;
    if (length <= count) {
        for (std::size_t at = begin; at < end; ++at) positions.insert(at);
        return;
    }
    if (count == 1) {
        positions.insert(begin);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) positions.insert(begin + k * (length - 1) / (count - 1));
}

// The positions to change: every byte of the ELF header, the signature length and the
// marker; the first, the last and evenly spread bytes of every other region; and
// bytes spread over the loaded image and over the whole file.
std::set<std::size_t> SweepPositions(const std::vector<Region>& regions, std::size_t fileSize,
                                     std::size_t imageEnd, const SweepDensity& density) {
    std::set<std::size_t> positions;
    for (const Region& region : regions) {
        std::size_t count = std::max(density.perRegion, kMinimumPerRegion);
        if (region.name == "ELF header" || region.name == "signature length" || region.name == "signature marker")
            count = region.end - region.begin;
        else if (region.name == "signature block")
            count = density.signatureBlock;
        InsertSpread(positions, region.begin, region.end, count);
    }
    InsertSpread(positions, 0, imageEnd, density.image);
    InsertSpread(positions, 0, fileSize, density.file);
    return positions;
}

// How many of the positions fall in each region.
std::map<std::string, std::size_t> PositionsPerRegion(const std::vector<Region>& regions,
                                                      const std::set<std::size_t>& positions) {
    std::map<std::string, std::size_t> counts;
    for (const Region& region : regions)
        counts[region.name] = std::distance(positions.lower_bound(region.begin), positions.lower_bound(region.end));
    return counts;
}

// Whether the file, or the sealed snapshot of it that a library is mapped from (an
// anonymous file named after it), is mapped.
bool MappedIntoThisProcess(const fs::path& file) {
    std::ifstream maps("/proc/self/maps");
    const std::string name = file.string();
    const std::string snapshot = name + " (deleted)";
    const auto endsWith = [](const std::string& line, const std::string& end) {
        return line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0;
    };
    for (std::string line; std::getline(maps, line);)
        if (endsWith(line, name) || endsWith(line, snapshot)) return true;
    return false;
}

// The outcome of constructing a ClientApi: empty when it was constructed, otherwise
// "<class>|<code>|<message>" of what it threw.
std::string ConstructClient() {
    try {
        Vexa::ClientApi api;
        return "";
    } catch (const Vexa::VexaException& e) {
        return std::string(typeid(e) == typeid(Vexa::FrameworkException) ? "FrameworkException" : typeid(e).name()) +
               "|" + std::to_string(e.code) + "|" + e.what();
    } catch (const std::exception& e) {
        return std::string("std::exception|") + e.what();
    }
}

const std::string kExpectedRefusal = std::string("FrameworkException|100|") + kRefusal;

// A private machine state with one signed library staged as Tessaly.dll, and byte
// alterations applied in place through a descriptor (and undone after each try).
class TamperSweep : public ::testing::Test {
protected:
    void Stage(const fs::path& built) {
        original = ReadBytes(built);
        ASSERT_FALSE(original.empty()) << built;
        staged = VexaTest::MachineState::Stage(built, installDir, "Tessaly.dll");
        machine.PublishFramework(installDir);
        regions = SignedFileRegions(original);
        ASSERT_FALSE(regions.empty()) << built << " is no signed 64-bit ELF file";
    }

    // Runs the sweep; `afterEach` checks what no refused library may leave behind.
    template <class Check>
    void Sweep(const SweepDensity& density, Check afterEach) {
        std::size_t imageEnd = 0;
        for (const Region& region : regions)
            if (region.loaded) imageEnd = std::max(imageEnd, region.end);
        const std::set<std::size_t> positions = SweepPositions(regions, original.size(), imageEnd, density);
        ASSERT_GE(positions.size(), kMinimumPositions);
        std::ostringstream summary;
        summary << positions.size() << " positions over " << original.size() << " bytes:";
        for (const auto& [name, count] : PositionsPerRegion(regions, positions)) {
            EXPECT_GE(count, std::min<std::size_t>(kMinimumPerRegion, RegionLength(name))) << name;
            summary << " [" << name << " " << count << "]";
        }
        std::cout << summary.str() << std::endl;
        RecordProperty("positions", static_cast<int>(positions.size()));

        Vexa::UniqueFd fd(::open(staged.c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_GE(fd.get(), 0);
        static const unsigned char kMasks[] = {0x01, 0x80, 0xff, 0x20, 0x5a, 0x04};
        std::size_t refused = 0;
        std::size_t tried = 0;
        for (std::size_t at : positions) {
            const unsigned char altered = original[at] ^ kMasks[tried++ % sizeof kMasks];
            ASSERT_EQ(::pwrite(fd.get(), &altered, 1, static_cast<off_t>(at)), 1);
            const std::string outcome = ConstructClient();
            EXPECT_EQ(outcome, kExpectedRefusal) << "byte " << at << " (" << RegionOf(at) << ") changed from "
                                                 << int(original[at]) << " to " << int(altered);
            if (outcome == kExpectedRefusal) ++refused;
            afterEach(at);
            ASSERT_EQ(::pwrite(fd.get(), &original[at], 1, static_cast<off_t>(at)), 1);
            if (::testing::Test::HasFatalFailure()) return;
        }
        EXPECT_EQ(refused, positions.size());
        std::cout << "refused " << refused << " of " << positions.size() << std::endl;
        ASSERT_EQ(ReadBytes(staged), original) << "the sweep left the staged copy altered";
    }

    std::string RegionOf(std::size_t at) const {
        std::string names;
        for (const Region& region : regions)
            if (at >= region.begin && at < region.end) names += (names.empty() ? "" : ", ") + region.name;
        return names.empty() ? "between parts" : names;
    }

    std::size_t RegionLength(const std::string& name) const {
        for (const Region& region : regions)
            if (region.name == name) return region.end - region.begin;
        return 0;
    }

    VexaTest::MachineState machine;
    fs::path installDir = machine.MakeDirectory("framework");
    fs::path staged;
    std::vector<unsigned char> original;
    std::vector<Region> regions;
};

// The first line of a library's record; empty when it recorded nothing.
std::string FirstLine(const fs::path& record) {
    std::ifstream in(record);
    std::string line;
    std::getline(in, line);
    return line;
}

class ReliabilityTamperSweep : public TamperSweep {};

// The recording library writes "load" from its constructor the moment any code of it
// runs; after every refusal its record must still be empty.
TEST_F(ReliabilityTamperSweep, RecordingLibraryNeverRunsWhenAnyByteIsChanged) {
    const fs::path record = machine.Root() / "record.txt";
    ScopedEnvironment recording("VEXA_TEST_RECORD_FILE", record.string());
    Stage(RELIABILITY_RECORDING_LIBRARY);

    // Control: the unaltered copy is accepted, and its constructor leaves its mark.
    ASSERT_EQ(ConstructClient(), "");
    ASSERT_EQ(FirstLine(record), "load");
    fs::remove(record);

    Sweep({10, 100, 60, 40}, [&](std::size_t at) {
        ASSERT_FALSE(fs::exists(record)) << "code of the library ran with byte " << at << " (" << RegionOf(at)
                                         << ") changed: " << FirstLine(record);
    });

    // Control: with a byte of its marked data changed the library still loads and
    // runs when opened directly, so only the signature check kept it out above.
    const char target[] = "VEXA-TAMPER-TARGET";
    auto found = std::search(original.begin(), original.end(), target, target + sizeof target - 1);
    ASSERT_NE(found, original.end());
    const std::size_t at = std::distance(original.begin(), found);
    std::vector<unsigned char> altered = original;
    altered[at] = 'X';
    std::ofstream(staged, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(altered.data()), static_cast<std::streamsize>(altered.size()));
    EXPECT_EQ(ConstructClient(), kExpectedRefusal);
    EXPECT_FALSE(fs::exists(record));
    void* handle = dlopen(staged.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    dlclose(handle);
    EXPECT_EQ(FirstLine(record), "load");
}

// The sample framework's own client library: every altered copy is refused with the
// signature failure and never mapped into the process.
TEST_F(ReliabilityTamperSweep, SampleFrameworkClientIsRefusedWhenAnyByteIsChanged) {
    Stage(fs::path(RELIABILITY_FRAMEWORK_INSTALL_DIR) / "Tessaly.dll");

    // Control: the unaltered copy is accepted, and is mapped while it lives.
    {
        Vexa::ClientApi api;
        ASSERT_TRUE(MappedIntoThisProcess(staged));
    }
    ASSERT_FALSE(MappedIntoThisProcess(staged));

    Sweep({10, 100, 60, 40}, [&](std::size_t at) {
        ASSERT_FALSE(MappedIntoThisProcess(staged)) << "byte " << at << " (" << RegionOf(at) << ")";
    });
}

}  // namespace
