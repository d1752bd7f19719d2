// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdlib.h>
#include <fstream>
#include <string>
#include <vector>

namespace VexaFuzz {

// Replaces the file at path with exactly these bytes; aborts when it cannot, since a
// run that silently fuzzed nothing would count for nothing.
inline void WriteBytes(const std::filesystem::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
        std::abort();
    }
}

// Fails the run with a message: the fuzzer reports it as a crash with this input.
[[noreturn]] inline void Violation(const std::string& what) {
    std::fprintf(stderr, "fuzz: invariant violated: %s\n", what.c_str());
    std::abort();
}

// The input cut at each byte `separator` (the last piece may be empty).
inline std::vector<std::string> Split(const std::uint8_t* data, std::size_t size, char separator) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (static_cast<char>(data[i]) == separator)
            pieces.emplace_back();
        else
            pieces.back().push_back(static_cast<char>(data[i]));
    }
    return pieces;
}

// A private machine state for the life of the process: a fresh directory with an empty
// trust/ that VEXA_PLATFORM_ROOT names, removed again at exit.
class MachineState {
public:
    MachineState() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vexa-fuzz-machine-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        root = pattern;
        std::filesystem::create_directories(root / "trust");
        setenv("VEXA_PLATFORM_ROOT", root.c_str(), 1);
    }
    ~MachineState() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    MachineState(const MachineState&) = delete;
    MachineState& operator=(const MachineState&) = delete;

    const std::filesystem::path& Root() const { return root; }

    void TrustRoot(const std::filesystem::path& pem) {
        std::filesystem::copy_file(pem, root / "trust" / pem.filename(),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    void WriteDevicesText(const void* data, std::size_t size) { WriteBytes(root / "devices.json", data, size); }

private:
    std::filesystem::path root;
};

}  // namespace VexaFuzz
