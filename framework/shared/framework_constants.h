// What both libraries of the sample framework report about themselves, and the codes
// they put into the exceptions they throw.
#pragma once

#include <cstdint>

namespace Vexa::Framework {

// The interface revision both libraries implement.
constexpr std::uint32_t kInterfaceRevision = 3;
// Build-type word: bit 0 marks a release build. Bit 9, which marks a configuration the
// tools refuse, is never set.
constexpr std::uint32_t kBuildType = 0x1;

// Codes carried by the exceptions the framework throws. The front ends never show
// them; they help whoever debugs a failure on the native side.
enum ErrorCode : int {
    kInvalidArgument = 400,
    kAccessDenied = 403,
    kNotFound = 404,
    kTimeout = 408,
    kLimitExceeded = 413,
    kFrameworkFailure = 500,
    kJsonError = 600,
};

}  // namespace Vexa::Framework
