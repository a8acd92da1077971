#pragma once

#include "app/sendmail_arguments.h"

namespace lumenpost {

// lumenpost --sendmail: reads one message from stdin and queues it, through the running
// relay's channel (which then delivers it) or, when no relay runs, into the queue folder
// itself while holding the single-instance lock, so that the next start delivers it.
// Prints nothing on success and one line on stderr otherwise. Returns the exit status
// scripts expect (sysexits): 0 queued, EX_USAGE (64) for a wrong sender or recipient or
// none at all, EX_DATAERR (65) for a message that is no text or over maxsize, EX_IOERR
// (74) when stdin cannot be read, EX_TEMPFAIL (75) when the queue cannot take it now.
int RunSendmailCommand(int argc, char** argv, const SendmailOptions& options);

} // namespace lumenpost
