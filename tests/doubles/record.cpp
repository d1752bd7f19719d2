#include "record.h"

#include <cstdio>
#include <cstdlib>

void Record(const std::string& line) {
    const char* file = std::getenv("VEXA_TEST_RECORD_FILE");
    if (file == nullptr) return;
    if (std::FILE* out = std::fopen(file, "a")) {
        std::fputs((line + "\n").c_str(), out);
        std::fclose(out);
    }
}
