#pragma once

namespace Vexa {

// Kinds of schema that the client interface's GetSchema serves. There is no kind 0.
enum SchemaType : int {
    DATA = 1,
    EVENT = 2,
    COMMAND = 3,
    RESULT = 4,
    INIT = 5,
};

}  // namespace Vexa
