#pragma once

#include <QString>

namespace lumenpost {

// A queue command of the command line (--queue, --retry, --resend, --delete): asked of
// the running relay over its channel; when no relay runs, done on the queue folder while
// holding the single-instance lock, so that no relay starts meanwhile. Prints the answer
// and returns the exit status (0 done, 1 refused or failed).
int RunQueueCommandLine(int argc, char** argv, const QString& request);

} // namespace lumenpost
