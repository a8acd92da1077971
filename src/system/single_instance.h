#pragma once

#include <QFile>
#include <QString>

namespace lumenpost {

// Keeps a second copy of the program from running: the first copy holds an exclusive
// lock on a file named after the executable's file name. The system drops the lock
// when the process ends in any way, so a crashed copy never blocks the next start.
class TSingleInstance {
public:
    // Takes the lock on <directory>/<executable file name>.lock. Returns true when this
    // copy may run; otherwise Error() holds one line that says why it may not.
    bool Check(const QString& directory, const QString& executablePath);

    const QString& Error() const { return error_; }
    // After a failed Check: another process holds the lock (rather than the lock file
    // failing).
    bool HeldElsewhere() const { return heldElsewhere_; }

private:
    QFile lockFile_;
    QString error_;
    bool heldElsewhere_ = false;
};

// $XDG_RUNTIME_DIR when set to an absolute path, else the temporary folder.
QString RuntimeDirectory();

} // namespace lumenpost
