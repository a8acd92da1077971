#pragma once

#include "app/command_line.h"

#include <optional>

namespace lumenpost {

class RelayApp;
class TerminationSignals;
class TSingleInstance;

inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotRunning = 1;

// What the command line asks for: an exit status when the program is already done
// (--help, --version, bad arguments: kExitUsage, or EX_USAGE after --sendmail), otherwise
// the options and whether to run headless.
struct StartRequest {
    std::optional<int> exitStatus;
    CommandLineOptions options;
    bool headless = false;
};

// Reads the command line and the --password-file (a file that others may read ends the
// program with kExitUsage). Without a display, or in a build without the window
// (`windowBuilt` false), the program runs headless and says so on stderr.
StartRequest ReadStart(int argc, char** argv, const char* version, bool windowBuilt);

// Runs the relay without window and tray until SIGINT or SIGTERM. Returns the exit status.
int RunHeadless(int argc, char** argv, const CommandLineOptions& options);

// Ends a second copy before it does anything else: false (and one line on stderr) when
// another copy already runs.
bool FirstCopy(TSingleInstance& guard);

// SIGINT and SIGTERM close like the window: settings and autostart entry written,
// exit status 0. If they cannot be written, say so and end with status 1.
void CloseOnSignals(TerminationSignals& terminations, RelayApp& relay);

} // namespace lumenpost
