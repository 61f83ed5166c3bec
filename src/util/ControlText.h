// Text from the network shown on a terminal: a peer may put control
// characters (an ESC sequence, say) into a JSON comment, a datarate or an
// error report, and a terminal would act on them.
#pragma once
#include <string>
#include <string_view>

namespace quorvex {

// Appends `text` to `out` with every control character (below 0x20 other
// than tab, line feed and carriage return, and DEL) written as "\xHH"; the
// rest as it is.
void AppendEscapedControls(std::string& out, std::string_view text);
// The same as a new string.
std::string EscapeControlChars(std::string_view text);
// EscapeControlChars with tab, line feed and carriage return escaped too, for
// a text that must stay on its one line.
std::string EscapeAllControlChars(std::string_view text);

}  // namespace quorvex
