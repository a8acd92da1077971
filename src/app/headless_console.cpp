#include "app/headless_console.h"

namespace lumenpost {

HeadlessConsole::HeadlessConsole(RelayCore& core, std::FILE* out) : out_(out) {
    connect(&core, &RelayCore::okrelayAdded, this,
            [this](const QString& line) { Print("okrelay", line); });
    connect(&core, &RelayCore::badrelayAdded, this,
            [this](const QString& line) { Print("badrelay", line); });
    connect(&core, &RelayCore::reasonAdded, this,
            [this](const QString& reason) { Print("reason", reason); });
    connect(&core, &RelayCore::deferredAdded, this,
            [this](const QString& text) { Print("deferred", text); });
    connect(&core, &RelayCore::errorReported, this, &ReportErrorOnStderr);
    connect(&core, &RelayCore::statusChanged, this,
            [this](const QString& text) { Print("status", text); });
    connect(&core, &RelayCore::deliveryDetailChanged, this,
            [this](const QString& text) { Print("via", text); });
}

void HeadlessConsole::Print(const char* prefix, const QString& text) {
    std::fprintf(out_, "%s: %s\n", prefix, text.toUtf8().constData());
    std::fflush(out_);
}

void ReportErrorOnStderr(const QString& text) {
    // Each line of a report is one problem; each gets the program's name.
    for (const QString& line : text.split(u'\n')) {
        std::fprintf(stderr, "lumenpost: %s\n", line.toUtf8().constData());
    }
    std::fflush(stderr);
}

} // namespace lumenpost
