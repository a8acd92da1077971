#pragma once

#include "relay/relay_core.h"

#include <QObject>
#include <QString>
#include <cstdio>

namespace lumenpost {

// The headless mode's view of the core: every new log line and status text becomes one
// line on the output ("okrelay: ...", "badrelay: ...", "reason: ...", "deferred: ...",
// "status: ..."), flushed at once.
class HeadlessConsole : public QObject {
    Q_OBJECT

public:
    explicit HeadlessConsole(RelayCore& core, std::FILE* out = stdout);

private:
    void Print(const char* prefix, const QString& text);

    std::FILE* out_;
};

// Reports an error that the window would show in a message box: on stderr, each of its
// lines after the program's name.
void ReportErrorOnStderr(const QString& text);

} // namespace lumenpost
