// A hook at the start of the stand-in's snapshot copies. The stand-in makes the memory
// file of a new snapshot (memfd_create) right before it copies the file into it; this
// test program defines memfd_create ahead of the C library's, and runs a test's action
// there for the files it names, on the thread that is about to copy.
#pragma once

#include <functional>
#include <string>

namespace PlatformTest {

// While it lives, `action` runs whenever a snapshot of a file whose full path ends in
// `suffix` is about to be copied. One gate at a time.
class CopyGate {
public:
    CopyGate(std::string suffix, std::function<void()> action);
    ~CopyGate();
    CopyGate(const CopyGate&) = delete;
    CopyGate& operator=(const CopyGate&) = delete;
};

}  // namespace PlatformTest
