// Runs inside the network namespace of the dial-up monitor's system test.
//
//   ras_helper hold-tun NAME LOCAL PEER   creates tun device NAME with address LOCAL and peer
//                                         PEER, brings it up, prints "ready" and keeps it
//                                         open until standard input ends
//   ras_helper poll                       polls once with the system monitor and prints
//                                         what it reports, one line per event
#include "dialup/ras_monitor.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <linux/if_tun.h>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using lumenpost::TRasConnectionDetails;
using lumenpost::TRasMonitor;

// A file descriptor closed on destruction.
struct Descriptor {
    int Fd;
    explicit Descriptor(int fd) : Fd(fd) {}
    ~Descriptor() {
        if (Fd >= 0) {
            ::close(Fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

int Fail(const char* what) {
    std::fprintf(stderr, "ras_helper: %s: %s\n", what, std::strerror(errno));
    return 1;
}

ifreq Request(const char* name) {
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    return request;
}

bool SetAddress(int socket, const char* name, unsigned long command, const char* dotted) {
    ifreq request = Request(name);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, dotted, &address.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    std::memcpy(&request.ifr_addr, &address, sizeof address);
    return ::ioctl(socket, command, &request) == 0;
}

bool BringUp(int socket, const char* name) {
    ifreq request = Request(name);
    if (::ioctl(socket, SIOCGIFFLAGS, &request) != 0) {
        return false;
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    return ::ioctl(socket, SIOCSIFFLAGS, &request) == 0;
}

int HoldTun(const char* name, const char* local, const char* peer) {
    const Descriptor tun(::open("/dev/net/tun", O_RDWR | O_CLOEXEC));
    if (tun.Fd < 0) {
        return Fail("open /dev/net/tun");
    }
    ifreq request = Request(name);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (::ioctl(tun.Fd, TUNSETIFF, &request) != 0) {
        return Fail("TUNSETIFF");
    }
    const Descriptor control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (control.Fd < 0 || !SetAddress(control.Fd, name, SIOCSIFADDR, local) ||
        !SetAddress(control.Fd, name, SIOCSIFDSTADDR, peer) ||
        !SetAddress(control.Fd, name, SIOCSIFNETMASK, "255.255.255.255") ||
        !BringUp(control.Fd, name)) {
        return Fail("configure the tun device");
    }
    std::cout << "ready" << std::endl;
    // Nothing is sent; the device lives as long as this process holds it open.
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    return 0;
}

std::string Line(const char* event, const TRasConnectionDetails& details) {
    return std::string(event) + " entry=" + std::string(details.EntryName.Text()) +
           " type=" + std::string(details.DeviceType.Text()) +
           " ip=" + std::string(details.IPAddress.Text()) +
           " server=" + std::string(details.ServerIPAddress.Text());
}

int PollOnce() {
    TRasMonitor monitor;
    monitor.OnRasConnected = [](TRasMonitor&, const TRasConnectionDetails& details) {
        std::cout << Line("connected", details) << '\n';
    };
    monitor.OnRasStatusChanged = [](TRasMonitor&, const TRasConnectionDetails&,
                                    const std::string& status) {
        std::cout << "status " << status << '\n';
    };
    std::cout << "loaded " << monitor.RasApiLoaded() << '\n';
    monitor.PollConnections();
    std::cout << "online " << monitor.Online() << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hold-tun" && argc == 5) {
        return HoldTun(argv[2], argv[3], argv[4]);
    }
    if (mode == "poll" && argc == 2) {
        return PollOnce();
    }
    std::cerr << "usage: ras_helper hold-tun NAME LOCAL PEER | ras_helper poll\n";
    return 2;
}
