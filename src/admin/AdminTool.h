// quorvex-admin: the operator's command line over the server's database file
// and settings file. It adds, edits, lists and deletes applications,
// devices, gateways and queued downlinks with the same form rules, records
// and cascades as the window (persistence/*Rules.h, RecordStore.h,
// RecordDeletion.h), so that the window and the tool never disagree; it
// shows and sets the six operator options; it resets a device's frame
// counters, join state or DevNonces; and it exports and clears the packet log.
//
// It is safe beside a running server: every statement goes through the
// engine's database manager, which waits for the server's writes (SQLite
// busy timeout) instead of failing.
#pragma once
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

namespace quorvex::admin {

// What the tool's exit status says.
inline constexpr int kExitDone = 0;     // the command did what was asked
inline constexpr int kExitRefused = 1;  // refused, with the reason on stderr
inline constexpr int kExitUsage = 2;    // the command line is wrong; usage on stderr

// Runs one command line (`args` without the program name). Results go to
// `out` (JSON with --json), refusals and usage texts to `err`; a refusal with
// --json also goes to `out` as {"ok":false,"message":...,"field":...}.
// Returns kExitDone, kExitRefused or kExitUsage.
int RunAdmin(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// RunAdmin with `now` as the current time, from whose local day the packet
// log's rows (which hold only a day of the month) are dated.
int RunAdminAt(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, time_t now);

// The usage text (for --help and usage errors).
const char* AdminUsage();

}  // namespace quorvex::admin
