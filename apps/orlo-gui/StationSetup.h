// What a station window is to do, chosen once before it opens: the bundle (a manifest, or
// REGION FILE pairs), the slots (a folder of links, or USB ids to match) and the database that
// keeps a row for every finished device. From the command line, or from a first dialog when
// the command line leaves something open.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "StationBoard.h"
#include "StationHost.h"

class QLabel;
class QLineEdit;
class QRadioButton;

namespace orlo::gui {

struct StationChoice {
    std::string manifest;              // a manifest's path, or empty
    std::vector<std::string> images;   // or REGION FILE pairs
    std::string slotsDir;              // a folder of links, or
    std::vector<std::string> matches;  // VID:PID[:SERIAL] rules (or COM names)
    std::string database;              // empty: the default place
    double settleSeconds = 0.5;
    double timeoutSeconds = 10;

    bool HasBundle() const { return !manifest.empty() || !images.empty(); }
    bool HasSlots() const { return !slotsDir.empty() || !matches.empty(); }
};

// A station ready to open: what its header shows, how its thread builds it, where its slots
// are (in words), and the database it writes.
struct PreparedStation {
    BoardHeader header;
    StationHost::Builder builder;
    QString where;
    std::string database;
};

// Reads the bundle (checking every file and its SHA-256), opens the watcher and the database.
// nullptr, with the sentence why in `error`, when any of them cannot be used: nothing has
// been started then.
std::unique_ptr<PreparedStation> PrepareStation(const StationChoice& choice, std::string* error);

// The first dialog: the bundle, the slots and the database. It has no default button: Enter
// and Space never start the station, only a click on its button does.
class StationSetupDialog : public QDialog {
  public:
    explicit StationSetupDialog(const StationChoice& given, QWidget* parent = nullptr);

    // The prepared station once Start was clicked and everything could be used.
    std::unique_ptr<PreparedStation> TakePrepared() { return std::move(m_prepared); }
    StationChoice Choice() const;
    // Clicks Start: prepares the station, or shows why it cannot.
    void TryStart();
    void ShowProblem(const QString& text);

    void keyPressEvent(QKeyEvent* event) override;

  private:
    QLineEdit* m_manifest = nullptr;
    QLineEdit* m_images = nullptr;
    QRadioButton* m_byFolder = nullptr;
    QLineEdit* m_slotsDir = nullptr;
    QLineEdit* m_matches = nullptr;
    QLineEdit* m_database = nullptr;
    QLabel* m_problem = nullptr;
    StationChoice m_given;
    std::unique_ptr<PreparedStation> m_prepared;
};

}  // namespace orlo::gui
