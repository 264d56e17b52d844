// orlo-gui: the desktop window of the programmer.
//
//   orlo-gui [--service] [--screenshot FILE] [--screenshot-about FILE]
//
// --service shows the service controls from the start (Ctrl+Shift+S shows and hides them).
// --screenshot FILE (for the documentation) saves a picture of the window once it has been
// laid out, and exits; --screenshot-about FILE does the same with the About box. --help and
// --version answer without a display (the manual page is made from them while building).
#include <QApplication>
#include <QCommandLineParser>
#include <QKeyEvent>
#include <QPixmap>
#include <QTimer>
#include <memory>
#include <string_view>

#include "GuiSession.h"
#include "posix/LinuxPortTable.h"
#include "posix/PosixSerial.h"

namespace {

// Whether the command line asks for the help or version text, which need no window system.
bool AsksForText(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "-h" || arg == "-?" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // A plain core application answers --help and --version (process() below exits); the
    // window's application, which needs a display, is created once the window is wanted.
    std::unique_ptr<QCoreApplication> app;
    if (AsksForText(argc, argv))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orlo-gui"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORLO_VERSION));

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
    QCommandLineOption aboutShot(QStringLiteral("screenshot-about"),
                                 QStringLiteral("Open the About box with F1, save a picture of "
                                                "it and exit."),
                                 QStringLiteral("FILE"));
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    aboutShot.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(service);
    parser.addOption(screenshot);
    parser.addOption(aboutShot);
    parser.process(*app);
    if (qobject_cast<QApplication*>(app.get()) == nullptr) {
        // "-h" or "-v" was the value of an option: the window is wanted after all.
        app.reset();
        app = std::make_unique<QApplication>(argc, argv);
    }
    QGuiApplication::setDesktopFileName(QStringLiteral("orlo-gui"));

    orlo::LinuxPortTable ports;
    orlo::PosixSerialBackend serial(&ports);
    orlo::gui::GuiSession::Options options;
    options.serviceMode = parser.isSet(service);
    orlo::gui::GuiSession session(serial, ports, options);
    session.Window().show();

    if (parser.isSet(screenshot)) {
        const QString file = parser.value(screenshot);
        QTimer::singleShot(500, app.get(), [&] {
            const bool saved = session.Window().grab().save(file);
            QApplication::exit(saved ? 0 : 1);
        });
    }
    if (parser.isSet(aboutShot)) {
        const QString file = parser.value(aboutShot);
        // F1 goes the user's way to the About box; its modal loop runs the second timer.
        QTimer::singleShot(300, app.get(), [&] {
            QCoreApplication::postEvent(&session.Window(),
                                        new QKeyEvent(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier));
        });
        QTimer::singleShot(800, app.get(), [&] {
            QWidget* box = QApplication::activeModalWidget();
            const bool saved = box != nullptr && box->grab().save(file);
            QApplication::exit(saved ? 0 : 1);
        });
    }
    return QCoreApplication::exec();
}
