// vexareg: registers provider libraries in the framework's provider catalog,
// unregisters them, or prints the catalog as JSON.
//
// Every run opens the catalog, help and bad input included, and closes it before
// anything after the banner is written; the result code is the exit status.

#include <filesystem>
#include <string>
#include <vector>

#include "argument_parser.h"
#include "catalog_operations.h"
#include "loader/code_page.h"
#include "loader/provider_catalog_api_wrapper.h"
#include "console.h"

using namespace Vexa::Registration;

namespace {

ResultCode RunOperation(Vexa::ProviderCatalogApi& catalog, Operation operation,
                        const std::vector<std::filesystem::path>& providers) {
    switch (operation) {
    case Operation::Register:
        return RegisterProviders(catalog, providers);
    case Operation::Unregister:
        return UnregisterProviders(catalog, providers);
    case Operation::Query:
        return QueryCatalog(catalog);
    case Operation::None:
        break;
    }
    return ResultCode::HelpRequested;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string usage = ComposeUsage(argc > 0 ? argv[0] : nullptr);
    WriteLine(stdout, kBanner);

    Operation operation = Operation::None;
    std::vector<std::filesystem::path> providers;
    ResultCode code = ParseArguments(argc, argv, operation, providers,
                                     Vexa::CodePage::ArgumentsArrivedWhole(argc, argv));

    try {
        Vexa::ProviderCatalogApi catalog;
        if (code == ResultCode::Success) code = RunOperation(catalog, operation, providers);
    } catch (...) {
        // Opening or closing the catalog failed: the exception family, and anything
        // else the library let through, end the same way and never the process.
        code = ResultCode::CatalogOperationFailed;
    }

    ReportResult(code, usage);
    return static_cast<int>(code);
}
