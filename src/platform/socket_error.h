#pragma once

#include <span>

namespace lumenpost {

// Socket error codes follow the classic Windows Sockets numbering: 10000 plus the
// BSD error number, 11001 to 11004 for host lookups. Both socket layers report
// errors in these numbers so that their error texts and callers agree.
namespace socket_error {
inline constexpr int kNone = 0;
inline constexpr int kInterrupted = 10004;
inline constexpr int kBadHandle = 10009;
inline constexpr int kAccessDenied = 10013;
inline constexpr int kInvalidArgument = 10022;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kInProgress = 10036;
inline constexpr int kNotSocket = 10038;
inline constexpr int kAddressInUse = 10048;
inline constexpr int kConnectionAborted = 10053;
inline constexpr int kConnectionReset = 10054;
inline constexpr int kNotConnected = 10057;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnectionRefused = 10061;
inline constexpr int kNotInitialised = 10093;
inline constexpr int kHostNotFound = 11001;
inline constexpr int kTryAgain = 11002;
inline constexpr int kNoRecovery = 11003;
inline constexpr int kNoData = 11004;
// errno values without a Windows Sockets counterpart land above this base, where no
// error text exists, so they can never be mistaken for a tabled code.
inline constexpr int kUnmappedBase = 20000;
} // namespace socket_error

// Maps an errno value onto the Windows Sockets numbering (0 stays 0).
int SocketErrorFromErrno(int err);

// Maps a getaddrinfo/getnameinfo result (EAI_*) onto 11001..11004 (0 stays 0).
int SocketErrorFromResolver(int eaiCode);

// The calling thread's last socket error, in the Windows Sockets numbering.
int LastSocketError();
void SetLastSocketError(int code);

// Stores the mapping of the current errno as the last socket error and returns it.
int CaptureSocketError();

// One row of a table of error texts. Each socket layer keeps its own table, since their
// texts differ; they share the lookup.
struct ErrorTextEntry {
    int code;
    const char* text;
};

// The text of `code` in `table`; nullptr when the table has no row for it.
const char* LookupErrorText(std::span<const ErrorTextEntry> table, int code);

} // namespace lumenpost
