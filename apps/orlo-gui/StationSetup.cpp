#include "StationSetup.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "record/Bundle.h"
#include "record/Manifest.h"
#include "record/RunDatabase.h"
#include "station/BundleRun.h"
#include "station/SlotWatcher.h"
#include "station/StationRecord.h"

namespace orlo::gui {

namespace {

std::chrono::milliseconds Millis(double seconds) {
    if (seconds <= 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000.0)));
}

std::vector<std::string> Words(const QString& text) {
    std::vector<std::string> words;
    for (const QString& w : text.split(QRegularExpression(QStringLiteral("[\\s,]+")),
                                       Qt::SkipEmptyParts))
        words.push_back(w.toStdString());
    return words;
}

QString Joined(const std::vector<std::string>& words) {
    QStringList list;
    for (const std::string& w : words) list << QString::fromStdString(w);
    return list.join(u' ');
}

// The watcher of the choice's slots, and the slots in words.
std::unique_ptr<station::ISlotWatcher> MakeWatcher(const StationChoice& choice, QString* where,
                                                   std::string* error) {
    if (!choice.slotsDir.empty()) {
        *where = QString::fromStdString(choice.slotsDir);
        return station::MakeDirSlotWatcher(choice.slotsDir, error);
    }
    std::vector<station::MatchRule> rules;
    std::vector<std::string> comNames;
    if (!station::ParseSlotMatches(choice.matches, &rules, &comNames, error)) return nullptr;
    *where = QStringLiteral("the devices matching %1").arg(Joined(choice.matches));
    return station::MakeMatchSlotWatcher(rules, comNames, error);
}

}  // namespace

std::unique_ptr<PreparedStation> PrepareStation(const StationChoice& choice, std::string* error) {
    if (choice.manifest.empty() == choice.images.empty()) {
        *error = "choose a manifest, or give the images as REGION FILE pairs";
        return nullptr;
    }
    if (choice.slotsDir.empty() == choice.matches.empty()) {
        *error = "choose the slots: a folder of links, or the USB ids to match";
        return nullptr;
    }
    station::StationImages images;
    if (!station::LoadStationImages(choice.images, choice.manifest, &images, error))
        return nullptr;
    const record::Bundle& bundle = images.bundle;

    auto prepared = std::make_unique<PreparedStation>();
    std::unique_ptr<station::ISlotWatcher> watcher = MakeWatcher(choice, &prepared->where, error);
    if (!watcher) return nullptr;

    const bool defaultPlace = choice.database.empty();
    const std::string dbPath = defaultPlace ? record::RunDatabase::DefaultPath() : choice.database;
    std::shared_ptr<record::RunDatabase> db = record::RunDatabase::Open(
        dbPath, record::RunDatabase::Access::ReadWrite, error, defaultPlace);
    if (!db) return nullptr;
    prepared->database = dbPath;

    BoardHeader& header = prepared->header;
    header.name = bundle.manifestName.empty() ? "Images from the command line"
                                              : "Manifest " + bundle.manifestName;
    if (!bundle.manifestPath.empty())
        header.files.push_back({"manifest " + std::filesystem::path(bundle.manifestPath).filename().string(),
                                bundle.manifestSha256});
    for (const record::BundleImage& image : bundle.images)
        header.files.push_back({std::string(Region(image.region).word) + ": " +
                                    std::filesystem::path(image.path).filename().string(),
                                image.sha256});

    station::StationOptions options;
    options.settle = Millis(choice.settleSeconds);
    auto watched = std::make_shared<std::unique_ptr<station::ISlotWatcher>>(std::move(watcher));
    const std::string version =
        "orlo-gui " + QCoreApplication::applicationVersion().toStdString();
    station::BundleRunOptions runOptions;
    runOptions.timeout = Millis(choice.timeoutSeconds);
    // The builder keeps the images and the database for as long as the station lives.
    prepared->builder = [watched, images, db, options, runOptions, version](
                            EventLoop& loop, station::StationObserver* observer) {
        return std::make_unique<station::Station>(
            std::move(*watched), station::BundleRuns(loop, images.bundle, images.sizes, runOptions),
            options, observer, station::DatabaseRecorder(*db, images.bundle, version));
    };
    return prepared;
}

// --- the first dialog -------------------------------------------------------------------------

StationSetupDialog::StationSetupDialog(const StationChoice& given, QWidget* parent)
    : QDialog(parent), m_given(given) {
    setObjectName(QStringLiteral("stationSetup"));
    setWindowTitle(QStringLiteral("Orlo station"));
    auto* form = new QFormLayout;

    auto withBrowse = [this](QLineEdit* edit, bool folder, const QString& filter) {
        auto* row = new QHBoxLayout;
        row->addWidget(edit, 1);
        auto* browse = new QPushButton(QStringLiteral("Choose\u2026"), this);
        browse->setAutoDefault(false);
        row->addWidget(browse);
        QObject::connect(browse, &QPushButton::clicked, this, [this, edit, folder, filter] {
            const QString chosen =
                folder ? QFileDialog::getExistingDirectory(this, QString(), edit->text())
                       : QFileDialog::getOpenFileName(this, QString(), edit->text(), filter);
            if (!chosen.isEmpty()) edit->setText(chosen);
        });
        return row;
    };

    m_manifest = new QLineEdit(QString::fromStdString(given.manifest), this);
    m_manifest->setObjectName(QStringLiteral("manifest"));
    form->addRow(QStringLiteral("Manifest"),
                 withBrowse(m_manifest, false, QStringLiteral("Manifest (*.json);;All files (*)")));
    m_images = new QLineEdit(Joined(given.images), this);
    m_images->setObjectName(QStringLiteral("images"));
    m_images->setPlaceholderText(QStringLiteral("or REGION FILE pairs: voice voice.adm application app.bin"));
    form->addRow(QStringLiteral("Images"), m_images);

    m_byFolder = new QRadioButton(QStringLiteral("Folder of links"), this);
    auto* byMatch = new QRadioButton(QStringLiteral("USB devices matching"), this);
    m_slotsDir = new QLineEdit(QString::fromStdString(given.slotsDir), this);
    m_slotsDir->setObjectName(QStringLiteral("slotsDir"));
    m_matches = new QLineEdit(Joined(given.matches), this);
    m_matches->setObjectName(QStringLiteral("matches"));
    m_matches->setPlaceholderText(QStringLiteral("VID:PID[:SERIAL], for example 0403:6001"));
    (given.matches.empty() ? m_byFolder : byMatch)->setChecked(true);
    form->addRow(m_byFolder, withBrowse(m_slotsDir, true, {}));
    form->addRow(byMatch, m_matches);

    m_database = new QLineEdit(QString::fromStdString(given.database), this);
    m_database->setObjectName(QStringLiteral("database"));
    m_database->setPlaceholderText(QString::fromStdString(record::RunDatabase::DefaultPath()));
    form->addRow(QStringLiteral("Database"), m_database);

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #c5221f"));

    // No default button, and Start takes no keyboard focus: only a click starts the station.
    auto* start = new QPushButton(QStringLiteral("Start the station"), this);
    start->setObjectName(QStringLiteral("start"));
    start->setAutoDefault(false);
    start->setDefault(false);
    start->setFocusPolicy(Qt::NoFocus);
    auto* quit = new QPushButton(QStringLiteral("Quit"), this);
    quit->setAutoDefault(false);
    QObject::connect(start, &QPushButton::clicked, this, [this] { TryStart(); });
    QObject::connect(quit, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(quit);
    buttons->addWidget(start);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_problem);
    layout->addLayout(buttons);
    resize(640, sizeHint().height());
}

StationChoice StationSetupDialog::Choice() const {
    StationChoice c = m_given;
    c.manifest = m_manifest->text().trimmed().toStdString();
    c.images = Words(m_images->text());
    c.slotsDir.clear();
    c.matches.clear();
    if (m_byFolder->isChecked())
        c.slotsDir = m_slotsDir->text().trimmed().toStdString();
    else
        c.matches = Words(m_matches->text());
    c.database = m_database->text().trimmed().toStdString();
    return c;
}

void StationSetupDialog::TryStart() {
    std::string error;
    m_prepared = PrepareStation(Choice(), &error);
    if (!m_prepared) {
        ShowProblem(QString::fromStdString(error));
        return;
    }
    QDialog::accept();
}

void StationSetupDialog::ShowProblem(const QString& text) {
    m_problem->setText(text);
}

void StationSetupDialog::keyPressEvent(QKeyEvent* event) {
    // Enter does not start the station (QDialog would press a default button).
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace orlo::gui
