// Starting the operator window at log-in on Linux desktops: an XDG autostart
// entry in the user's autostart folder. Unticking the option keeps the entry
// but makes it start nothing, so that one file always reflects the choice.
#pragma once
#include <string>

namespace quorvex {

inline constexpr char kAutostartFileName[] = "Tavrolin.desktop";

// $XDG_CONFIG_HOME/autostart when XDG_CONFIG_HOME is set and absolute (a
// relative value is invalid and ignored), else $HOME/.config/autostart; ""
// when neither is known.
std::string DefaultAutostartDir();

// The text of the entry. With a program path it starts that program at
// log-in (the path quoted for the Exec key, so any character survives);
// with an empty path it is hidden and has an empty Exec.
std::string AutostartEntryText(const std::string& programPath);

// Writes AutostartEntryText(programPath) as kAutostartFileName into `dir`,
// creating `dir` and its parents when missing. The file is replaced in one
// step (a temporary file beside it, then a rename), so a desktop never reads
// half an entry. false, with no file left behind, when `dir` is empty or the
// folder or the file cannot be written.
bool WriteAutostartEntry(const std::string& dir, const std::string& programPath);

}  // namespace quorvex
