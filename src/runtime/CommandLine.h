// The options the server programs share: --data-dir DIR and --port N.
#pragma once
#include <string>

namespace quorvex {

// A UDP port number from 1 to 65535 as decimal text; false for anything else.
bool ParsePort(const char* text, int& port);

}  // namespace quorvex
