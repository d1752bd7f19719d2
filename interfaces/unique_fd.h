// The owner of a POSIX file descriptor, for the code that runs on POSIX alone: the
// stand-in, the sample framework's catalog files and the tests around them. The
// Windows handles' owners are in common/resource_owners.h.
#pragma once

#include <unistd.h>

#include "interfaces/unique_resource.h"

namespace Vexa {

// "None" for POSIX file descriptors.
struct NegativeIsEmpty {
    static constexpr int Value() { return -1; }
};

using UniqueFd = UniqueResource<int, ::close, NegativeIsEmpty>;

}  // namespace Vexa
