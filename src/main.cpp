#include "app/app_main.h"
#include "app/queue_command.h"
#include "app/sendmail_command.h"

#if LUMENPOST_GUI
#include "desktop/window_main.h"
#endif

// Chooses the window or the headless mode; a build without the window is always headless.
int main(int argc, char** argv) {
    const lumenpost::StartRequest start =
        lumenpost::ReadStart(argc, argv, LUMENPOST_VERSION, LUMENPOST_GUI != 0);
    if (start.exitStatus) {
        return *start.exitStatus;
    }
    if (!start.options.queueCommand.isEmpty()) {
        return lumenpost::RunQueueCommandLine(argc, argv, start.options.queueCommand);
    }
    if (start.options.sendmail) {
        return lumenpost::RunSendmailCommand(argc, argv, *start.options.sendmail);
    }
#if LUMENPOST_GUI
    if (!start.headless) {
        return lumenpost::RunWindow(argc, argv, start.options);
    }
#endif
    return lumenpost::RunHeadless(argc, argv, start.options);
}
