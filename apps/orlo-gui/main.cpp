// orlo-gui: the desktop window of the programmer.
//
//   orlo-gui [--service] [--screenshot FILE]
//
// --service shows the service controls from the start (Ctrl+Shift+S shows and hides them).
// --screenshot FILE (for the documentation) saves a picture of the window once it has been
// laid out, and exits.
#include <QApplication>
#include <QCommandLineParser>
#include <QPixmap>
#include <QTimer>

#include "GuiSession.h"
#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orlo-gui"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Programs the serial flash of the RDX-5812LQ."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption service(QStringLiteral("service"),
                                     QStringLiteral("Show the service controls (Ctrl+Shift+S)."));
    QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                  QStringLiteral("Save a picture of the window and exit."),
                                  QStringLiteral("FILE"));
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(service);
    parser.addOption(screenshot);
    parser.process(app);

    orlo::LinuxPortTable ports;
    orlo::PosixSerialBackend serial(&ports);
    orlo::gui::GuiSession::Options options;
    options.serviceMode = parser.isSet(service);
    orlo::gui::GuiSession session(serial, ports, options);
    session.Window().show();

    if (parser.isSet(screenshot)) {
        const QString file = parser.value(screenshot);
        QTimer::singleShot(500, &app, [&] {
            const bool saved = session.Window().grab().save(file);
            QApplication::exit(saved ? 0 : 1);
        });
    }
    return app.exec();
}
