// The result codes of vexareg: what every step reports and what main returns as the
// process exit status. Scripts rely on the numbers; no other values are produced.
#pragma once

namespace Vexa::Registration {

enum class ResultCode : int {
    Success = 0,
    RegistrationFailed = 1,
    UnregistrationFailed = 2,
    QueryFailed = 3,
    IncorrectInput = 4,
    HelpRequested = 6,
    CatalogOperationFailed = 8,
    FileNotFound = 9,
    NotADll = 10,
};

}  // namespace Vexa::Registration
