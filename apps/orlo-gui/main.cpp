// orlo-gui: the desktop window of the programmer.
//
//   orlo-gui [--service] [--screenshot FILE] [--screenshot-about FILE]
//   orlo-gui --station [--manifest FILE | REGION FILE ...] [--slots-dir DIR | --match ID ...]
//            [--db FILE] [--settle SECONDS] [--timeout SECONDS]
//
// --service shows the service controls from the start (Ctrl+Shift+S shows and hides them).
// --station opens the station's board instead of the technician's window; what the command
// line leaves open is asked in a first dialog.
// --screenshot FILE (for the documentation) saves a picture of the window once it has been
// laid out, and exits; --screenshot-about FILE does the same with the About box. --help and
// --version answer without a display (the manual page is made from them while building).
#include <QApplication>
#include <QCommandLineParser>
#include <QKeyEvent>
#include <QPixmap>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string_view>

#include "GuiSession.h"
#include "StationSetup.h"
#include "StationWindow.h"
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
    QCommandLineOption shotDelay(QStringLiteral("screenshot-delay"),
                                 QStringLiteral("Milliseconds before the picture is taken."),
                                 QStringLiteral("MS"), QStringLiteral("500"));
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    aboutShot.setFlags(QCommandLineOption::HiddenFromHelp);
    shotDelay.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(service);
    parser.addOption(screenshot);
    parser.addOption(aboutShot);
    parser.addOption(shotDelay);
    const QCommandLineOption station(
        QStringLiteral("station"),
        QStringLiteral("Open the station's board: every device plugged into a slot is "
                       "programmed with the bundle, and each one is a row in the database."));
    const QCommandLineOption manifest(QStringLiteral("manifest"),
                                      QStringLiteral("Station: the manifest to program."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption slotsDir(
        QStringLiteral("slots-dir"),
        QStringLiteral("Station: the slots are the links to serial devices in DIR."),
        QStringLiteral("DIR"));
    const QCommandLineOption match(
        QStringLiteral("match"),
        QStringLiteral("Station: the slots hold the USB serial devices with these ids "
                       "(VID:PID[:SERIAL]; may be given more than once)."),
        QStringLiteral("ID"));
    const QCommandLineOption db(QStringLiteral("db"),
                                QStringLiteral("Station: the SQLite database of the runs."),
                                QStringLiteral("FILE"));
    const QCommandLineOption settle(
        QStringLiteral("settle"),
        QStringLiteral("Station: seconds a device must stay before its run starts."),
        QStringLiteral("SECONDS"), QStringLiteral("0.5"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Station: seconds without an answer before a run fails."),
        QStringLiteral("SECONDS"), QStringLiteral("10"));
    parser.addOptions({station, manifest, slotsDir, match, db, settle, timeout});
    parser.addPositionalArgument(QStringLiteral("REGION FILE"),
                                 QStringLiteral("Station: the images, in pairs (instead of a "
                                                "manifest)."),
                                 QStringLiteral("[REGION FILE ...]"));
    parser.process(*app);
    if (qobject_cast<QApplication*>(app.get()) == nullptr) {
        // "-h" or "-v" was the value of an option: the window is wanted after all.
        app.reset();
        app = std::make_unique<QApplication>(argc, argv);
    }
    QGuiApplication::setDesktopFileName(QStringLiteral("orlo-gui"));
    const int delay = std::max(0, parser.value(shotDelay).toInt());

    if (parser.isSet(station)) {
        orlo::gui::StationChoice choice;
        choice.manifest = parser.value(manifest).toStdString();
        for (const QString& word : parser.positionalArguments())
            choice.images.push_back(word.toStdString());
        choice.slotsDir = parser.value(slotsDir).toStdString();
        for (const QString& m : parser.values(match)) choice.matches.push_back(m.toStdString());
        choice.database = parser.value(db).toStdString();
        choice.settleSeconds = parser.value(settle).toDouble();
        choice.timeoutSeconds = parser.value(timeout).toDouble();
        std::unique_ptr<orlo::gui::PreparedStation> prepared;
        std::string problem;
        if (choice.HasBundle() && choice.HasSlots())
            prepared = orlo::gui::PrepareStation(choice, &problem);
        if (!prepared) {
            orlo::gui::StationSetupDialog setup(choice);
            if (!problem.empty()) setup.ShowProblem(QString::fromStdString(problem));
            if (setup.exec() != QDialog::Accepted) return 0;
            prepared = setup.TakePrepared();
        }
        orlo::gui::StationWindow window(prepared->header, std::move(prepared->builder),
                                        prepared->where);
        window.resize(1024, 768);
        window.show();
        // The documentation's picture of a station in the middle of a run: taken once the
        // board shows a PASSED, a FAILED and a programming tile together, at the latest after
        // the delay.
        QTimer shot;
        QElapsedTimer waited;
        if (parser.isSet(screenshot)) {
            const QString file = parser.value(screenshot);
            waited.start();
            QObject::connect(&shot, &QTimer::timeout, app.get(), [&, file] {
                bool passed = false, failed = false, programming = false;
                for (const orlo::gui::TileView& t : window.Model().Tiles()) {
                    passed |= t.state == orlo::gui::TileState::Passed;
                    failed |= t.state == orlo::gui::TileState::Failed;
                    programming |= t.state == orlo::gui::TileState::Programming;
                }
                if (!(passed && failed && programming) && waited.elapsed() < delay) return;
                shot.stop();
                const bool saved = window.grab().save(file);
                window.Host().Abandon();
                window.Host().Join();
                QApplication::exit(saved ? 0 : 1);
            });
            shot.start(100);
        }
        return QCoreApplication::exec();
    }

    orlo::LinuxPortTable ports;
    orlo::PosixSerialBackend serial(&ports);
    orlo::gui::GuiSession::Options options;
    options.serviceMode = parser.isSet(service);
    orlo::gui::GuiSession session(serial, ports, options);
    session.Window().show();

    if (parser.isSet(screenshot)) {
        const QString file = parser.value(screenshot);
        QTimer::singleShot(delay, app.get(), [&] {
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
