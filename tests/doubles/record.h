// The record that the test libraries keep of what happened to them: one line per
// event, appended to the file named by VEXA_TEST_RECORD_FILE (nothing when unset).
#pragma once

#include <string>

void Record(const std::string& line);
