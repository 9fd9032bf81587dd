// Process entry: the application object, the text codec, the main window and
// its event loop; plus the exit paths that must put the default devices back.
#include <QApplication>
#include <QSessionManager>
#include <QTextCodec>

#include "DefaultDevices.h"
#include "ExitSignals.h"
#include "SonvaleMain.h"
#include "Translations.h"

int main(int argc, char* argv[]) {
    // Before any thread exists: the keeper restores the defaults should the
    // program die without doing it itself.
    sonvale::StartDefaultsKeeper();

    QApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QCoreApplication::setOrganizationName(QStringLiteral("Sonvale"));
    QCoreApplication::setApplicationName(QStringLiteral("Sonvale"));
    sonvale::InstallTranslations();

    // SIGINT, SIGTERM, SIGHUP: restore the defaults and leave the event loop.
    // A signal that arrives while the window is still being built is noted and
    // ends the program as soon as the constructor returns.
    bool terminated = false;
    ExitSignals exitSignals;
    QObject::connect(&exitSignals, &ExitSignals::terminationRequested, &app, [&](int) {
        terminated = true;
        sonvale::RestoreArmedDefaults();
        QCoreApplication::exit(0);
    });
    // Every way out of the event loop (the tray's exit included) and the end
    // of the desktop session restore the defaults too.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { sonvale::RestoreArmedDefaults(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, [](QSessionManager&) {
        sonvale::RestoreArmedDefaults();
        QCoreApplication::exit(0);
    });

    int code = 0;
    {
        SonvaleMain window;
        if (window.startupExitCode() >= 0) return window.startupExitCode();
        if (terminated) return 0;
        window.show();
        code = app.exec();
    }
    sonvale::RestoreArmedDefaults();
    return code;
}
