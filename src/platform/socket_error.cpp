#include "platform/socket_error.h"

#include <cerrno>
#include <netdb.h>

namespace lumenpost {

namespace {

thread_local int tLastSocketError = 0;

struct ErrnoMapping {
    int err;
    int code;
};

// Linux errno values keyed to their classic BSD numbers (plus 10000).
constexpr ErrnoMapping kErrnoTable[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},          {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},
    {ENOMEM, 10055},       {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
    {EUSERS, 10068},       {EDQUOT, 10069},          {ESTALE, 10070},
    {EREMOTE, 10071},
};

} // namespace

int SocketErrorFromErrno(int err) {
    if (err == 0) {
        return 0;
    }
    for (const ErrnoMapping& m : kErrnoTable) {
        if (m.err == err) {
            return m.code;
        }
    }
    return socket_error::kUnmappedBase + err;
}

int SocketErrorFromResolver(int eaiCode) {
    switch (eaiCode) {
    case 0:
        return 0;
    case EAI_NONAME:
        return socket_error::kHostNotFound;
    case EAI_AGAIN:
        return socket_error::kTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
        return socket_error::kNoData;
    case EAI_SYSTEM:
        return SocketErrorFromErrno(errno);
    default:
        return socket_error::kNoRecovery;
    }
}

int LastSocketError() {
    return tLastSocketError;
}

void SetLastSocketError(int code) {
    tLastSocketError = code;
}

int CaptureSocketError() {
    tLastSocketError = SocketErrorFromErrno(errno);
    return tLastSocketError;
}

const char* LookupErrorText(std::span<const ErrorTextEntry> table, int code) {
    for (const ErrorTextEntry& entry : table) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return nullptr;
}

} // namespace lumenpost
