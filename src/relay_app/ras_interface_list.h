#pragma once

#include <ifaddrs.h>
#include <string>
#include <sys/socket.h>

namespace lumenpost {

// The machine's network interface addresses as getifaddrs reads them, freed on destruction.
class TInterfaceList {
public:
    TInterfaceList();
    ~TInterfaceList();
    TInterfaceList(const TInterfaceList&) = delete;
    TInterfaceList& operator=(const TInterfaceList&) = delete;

    // False when the list could not be read.
    bool Valid() const { return Valid_; }
    const ifaddrs* First() const { return First_; }

private:
    ifaddrs* First_ = nullptr;
    bool Valid_ = false;
};

// An IPv4 socket address in dotted decimal; the empty text for anything else.
std::string DottedAddress(const sockaddr* address);

} // namespace lumenpost
