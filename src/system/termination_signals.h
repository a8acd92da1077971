#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace lumenpost {

// Turns SIGINT and SIGTERM into the Qt signal received() on the UI thread, so that
// they close the program like its window does. The handler only writes one byte to a
// pipe (async-signal-safe); a notifier on the pipe's read end does the rest.
// Only one instance may exist at a time.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    void Drain();

    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace lumenpost
