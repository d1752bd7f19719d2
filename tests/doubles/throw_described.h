// Throws the exception that a short description names, so that one library can throw
// every kind the exception boundary distinguishes:
//   "<FamilyClass>:<code>:<text>"  a member of the Vexa family, e.g.
//                                  "ProviderNotFoundException:404:no such provider"
//   "json"                         a parse error of the JSON library
//   "logic_error:<text>", "runtime_error:<text>", "out_of_range:<text>",
//   "system_error:<text>"          the standard exception of that name
//   "bad_alloc", "exception"       std::bad_alloc, std::exception
//   "int"                          the int 42
#pragma once

#include <string>

[[noreturn]] void ThrowDescribed(const std::string& description);

// Throws what the environment variable names, if it is set.
void ThrowIfEnvironmentAsks(const char* variable);
