#include "relay_app/ras_interface_list.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace lumenpost {

TInterfaceList::TInterfaceList() : Valid_(::getifaddrs(&First_) == 0) {}

TInterfaceList::~TInterfaceList() {
    if (Valid_) {
        ::freeifaddrs(First_);
    }
}

std::string DottedAddress(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return {};
    }
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, address, sizeof ipv4);
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text) != nullptr ? text : "";
}

} // namespace lumenpost
