#include "system/termination_signals.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace lumenpost {
namespace {

// The pipe's ends; -1 while no instance exists. Written by the constructor before
// the handlers are installed, read by the handler.
volatile std::sig_atomic_t gWriteEnd = -1;
int gReadEnd = -1;

extern "C" void OnTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    if (gWriteEnd >= 0) {
        [[maybe_unused]] const ssize_t written = write(gWriteEnd, &byte, 1);
    }
    errno = savedErrno;
}

void Install(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("lumenpost: cannot watch for SIGINT and SIGTERM");
        return;
    }
    gReadEnd = ends[0];
    gWriteEnd = ends[1];
    notifier_ = std::make_unique<QSocketNotifier>(gReadEnd, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::Drain);
    Install(OnTerminationSignal);
}

TerminationSignals::~TerminationSignals() {
    if (!notifier_) {
        return;
    }
    Install(SIG_DFL);
    notifier_.reset();
    const int writeEnd = gWriteEnd;
    gWriteEnd = -1;
    close(writeEnd);
    close(gReadEnd);
    gReadEnd = -1;
}

void TerminationSignals::Drain() {
    unsigned char byte = 0;
    while (read(gReadEnd, &byte, 1) == 1) {
        emit received(byte);
    }
}

} // namespace lumenpost
