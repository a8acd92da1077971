#pragma once

namespace lumenpost {

// The program: reads the command line, then runs the relay with its window or
// headless until it is closed. Returns the exit status.
int RunLumenpost(int argc, char** argv, const char* version);

} // namespace lumenpost
