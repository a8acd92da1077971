#pragma once

#include "app/command_line.h"

namespace lumenpost {

// Runs the relay with its window and tray icon until the window's close (or the exit
// item, or SIGINT/SIGTERM). Returns the exit status.
int RunWindow(int argc, char** argv, const CommandLineOptions& options);

} // namespace lumenpost
