// Registers providers in the framework's catalog from a process of its own, for the
// tests of concurrent and interrupted writers.
//
// Usage: framework_catalog_writer [--wait-fd FD] PROVIDER...
// With --wait-fd it opens the catalog, then waits for end of file on FD before the
// first registration, so that several writers can be released at once.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>

#include "loader/provider_catalog_api_wrapper.h"

int main(int argc, char** argv) {
    int first = 1;
    int waitFd = -1;
    if (argc > 2 && std::strcmp(argv[1], "--wait-fd") == 0) {
        waitFd = std::atoi(argv[2]);
        first = 3;
    }
    try {
        Vexa::ProviderCatalogApi catalog;
        if (waitFd >= 0) {
            char byte;
            while (::read(waitFd, &byte, 1) > 0) {
            }
        }
        for (int i = first; i < argc; ++i) catalog.RegisterProvider(argv[i]);
    } catch (const std::exception& error) {
        std::cerr << "framework_catalog_writer: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
