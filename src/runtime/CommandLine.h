// The options the server programs share: --data-dir DIR and --port N.
#pragma once
#include <string>

namespace quorvex {

// A UDP port number from 1 to 65535 as decimal text; false for anything else.
bool ParsePort(const char* text, int& port);

// The data directory for --data-dir `given`: `given` itself, or when it is
// empty the directory of the running program, so that the server and the
// admin tool installed beside it find the same database file.
std::string DataDirOrDefault(const std::string& given);

}  // namespace quorvex
