// The main window against the dialog with a fake serial line: start-up state, the port list,
// the keyboard filter, the About box, mouse moves, service mode and closing.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTimer>

#include "AboutBox.h"
#include "GuiSession.h"
#include "GuiTestSupport.h"
#include "PreviewCanvas.h"
#include "ServicePanel.h"
#include "app/DialogTemplate.h"
#include "support/FakeSerial.h"

namespace orlo::gui {
namespace {

using test::ControlWidget;
using test::PumpUntil;
using test::RecordingPrompts;

// Drops the port list down and picks the entry `text` with the mouse, as a user would.
bool ChoosePort(QtWindow& layer, const QString& text) {
    auto* combo = ControlWidget<QComboBox>(layer, IDC_COMBO_PORT);
    combo->showPopup();
    const int index = combo->findText(text);
    if (index < 0) {
        combo->hidePopup();
        return false;
    }
    QAbstractItemView* view = combo->view();
    if (!QTest::qWaitForWindowExposed(view->window())) return false;
    const QRect item = view->visualRect(view->model()->index(index, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
    return PumpUntil([&] { return !view->isVisible(); }, std::chrono::seconds(5)) &&
           combo->currentIndex() == index;
}

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() : ports(orlo::test::FakePortTable::WithNames({"COM3", "COM12"})) {
        session = std::make_unique<GuiSession>(serial, ports, GuiSession::Options{});
        layer().SetPrompts(prompts.Make());
        layer().SetManualTimers(true);
        window().show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window()));
    }
    ~MainWindowTest() override { session.reset(); }

    QtWindow& layer() { return session->Layer(); }
    MainWindow& window() { return session->Window(); }
    QPushButton* button(int id) { return ControlWidget<QPushButton>(layer(), id); }

    orlo::test::FakeSerialBackend serial;
    orlo::test::FakePortTable ports;
    RecordingPrompts prompts;
    std::unique_ptr<GuiSession> session;
};

// The log list widget follows its entries through additions, deletions from the end (a log
// start) and from the middle, and selections, whatever the order; it is refreshed in batches.
TEST(LogListWidget, MirrorsTheEntriesAfterEveryKindOfChange) {
    struct Op {
        char kind;  // 'a': add `n` entries, 'd': delete entry `n` (-1: the last), 's': select `n`
        int n;
    };
    const std::vector<std::vector<Op>> sequences = {
        {{'a', 5}},
        {{'a', 50}, {'d', -1}, {'d', -1}, {'a', 3}},
        {{'a', 20}, {'d', 0}, {'d', 7}, {'a', 2}, {'s', 4}},
        {{'a', 30}, {'s', 29}, {'d', -1}, {'d', -1}},
        {{'a', 10}, {'d', -1}, {'d', -1}, {'d', -1}, {'d', -1}, {'d', -1},
         {'d', -1}, {'d', -1}, {'d', -1}, {'d', -1}, {'d', -1}, {'a', 1}},
    };
    for (std::size_t k = 0; k < sequences.size(); ++k) {
        QtWindow layer;
        QListWidget list;
        layer.Bind(IDC_LIST_LOG, &list);
        int added = 0;
        for (std::size_t step = 0; step < sequences[k].size(); ++step) {
            const Op& op = sequences[k][step];
            if (op.kind == 'a')
                for (int i = 0; i < op.n; ++i)
                    layer.ListSetCurSel(IDC_LIST_LOG,
                                        layer.ListAddString(IDC_LIST_LOG,
                                                            "line " + std::to_string(added++) +
                                                                "\r\n"));
            if (op.kind == 'd')
                layer.ListDeleteString(IDC_LIST_LOG,
                                       op.n < 0 ? layer.ListGetCount(IDC_LIST_LOG) - 1 : op.n);
            if (op.kind == 's') layer.ListSetCurSel(IDC_LIST_LOG, op.n);
            if (step % 2 == 1) layer.FlushLists();  // refreshes fall between changes too
        }
        layer.FlushLists();
        const auto& items = layer.Control(IDC_LIST_LOG).items;
        ASSERT_EQ(list.count(), static_cast<int>(items.size())) << "sequence " << k;
        for (int i = 0; i < list.count(); ++i)
            EXPECT_EQ(list.item(i)->text().toStdString(), items[static_cast<std::size_t>(i)])
                << "sequence " << k << " row " << i;
        EXPECT_EQ(list.currentRow(), layer.Control(IDC_LIST_LOG).curSel) << "sequence " << k;
    }
}

TEST_F(MainWindowTest, StartsReadyWithTheTitleAnEmptyBarAndOpenAndCloseDisabled) {
    EXPECT_EQ(window().windowTitle(), QStringLiteral("for RDX-5812LQ Ver 1.0"));
    EXPECT_FALSE(window().windowIcon().isNull());
    EXPECT_EQ(ControlWidget<QLineEdit>(layer(), IDC_STATUS)->text(), QStringLiteral("Ready"));
    EXPECT_EQ(ControlWidget<QProgressBar>(layer(), IDC_PROGRESS)->value(), 0);
    EXPECT_FALSE(button(IDC_OPEN)->isEnabled());
    EXPECT_FALSE(button(IDC_CLOSE)->isEnabled());
    EXPECT_EQ(ControlWidget<QComboBox>(layer(), IDC_COMBO_PORT)->count(), 0);
    EXPECT_TRUE(window().windowFlags() & Qt::WindowMinimizeButtonHint);

    // Fixed size: the template's 519 x 93 dialog units through the font's metrics.
    const DialogUnits& du = window().Units();
    EXPECT_EQ(window().size(), du.Size(519, 93));
    EXPECT_EQ(window().minimumSize(), window().maximumSize());
    EXPECT_EQ(window().Client().size(), du.Size(519, 93));

    // Every control of the template exists; the shown ones are on screen, the others wait in
    // the hidden service panel.
    for (const ControlTemplate& row : kMainDialogTemplate.controls) {
        if (row.id == IDC_STATIC) continue;
        QWidget* widget = layer().Widget(row.id);
        ASSERT_NE(widget, nullptr) << row.id;
        EXPECT_EQ(widget->isVisible(), row.shown) << row.id;
        EXPECT_EQ(layer().IsControlVisible(row.id), row.shown) << row.id;
        if (row.kind == ControlKind::PushButton) {
            EXPECT_EQ(qobject_cast<QPushButton*>(widget)->text(), QString::fromUtf8(row.caption));
        }
        if (row.kind == ControlKind::Edit) {  // framed exactly where the table says bordered
            EXPECT_EQ(qobject_cast<QLineEdit*>(widget)->hasFrame(), (row.style & kStyleBorder) != 0)
                << row.id;
        }
        if (row.shown) {
            EXPECT_EQ(widget->geometry().topLeft(), du.Rect(row).topLeft()) << row.id;
        }
    }
}

TEST_F(MainWindowTest, TheListFillsWhenItDropsDownAndChoosingAPortEnablesOpen) {
    auto* combo = ControlWidget<QComboBox>(layer(), IDC_COMBO_PORT);
    ASSERT_TRUE(ChoosePort(layer(), QStringLiteral("COM12")));
    QStringList entries;
    for (int i = 0; i < combo->count(); ++i) entries << combo->itemText(i);
    EXPECT_EQ(entries, QStringList({"Select Com Port", "COM3", "COM12"}));
    EXPECT_TRUE(button(IDC_OPEN)->isEnabled());
    EXPECT_EQ(layer().ComboGetCurSel(IDC_COMBO_PORT), 2);
    // The chosen name's device and description.
    EXPECT_EQ(combo->toolTip(), QStringLiteral("/dev/fakeCOM12 \u2014 fake COM12"));
    EXPECT_EQ(window().PortDetails().text(), combo->toolTip());

    // The placeholder disables Open again; the list refills on every drop-down.
    ports.ports.push_back({"\\Device\\Fake9", "COM7", "/dev/fakeCOM7", "fake COM7"});
    ASSERT_TRUE(ChoosePort(layer(), QStringLiteral("Select Com Port")));
    EXPECT_FALSE(button(IDC_OPEN)->isEnabled());
    EXPECT_EQ(combo->count(), 4);

    ASSERT_TRUE(ChoosePort(layer(), QStringLiteral("COM3")));
    QTest::mouseClick(button(IDC_OPEN), Qt::LeftButton);
    EXPECT_EQ(serial.opened, std::vector<std::string>({"COM3"}));
    EXPECT_FALSE(combo->isEnabled());
    EXPECT_FALSE(button(IDC_OPEN)->isEnabled());
    EXPECT_TRUE(button(IDC_CLOSE)->isEnabled());
    QTest::mouseClick(button(IDC_CLOSE), Qt::LeftButton);
    EXPECT_TRUE(combo->isEnabled());
    EXPECT_TRUE(button(IDC_OPEN)->isEnabled());
    EXPECT_FALSE(button(IDC_CLOSE)->isEnabled());
    EXPECT_TRUE(serial.last->Closed());
}

TEST_F(MainWindowTest, TheDropDownIsAsWideAsItsWidestEntry) {
    QAbstractItemView* view = ControlWidget<QComboBox>(layer(), IDC_COMBO_PORT)->view();
    ControlWidget<QComboBox>(layer(), IDC_COMBO_PORT)->showPopup();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
    EXPECT_GE(view->viewport()->width(), view->sizeHintForColumn(0));  // "Select Com Port"
}

TEST_F(MainWindowTest, EveryDeviceLineTakesOneRowOfTheLogListAndKeepsItsText) {
    window().SetServiceMode(true);
    const std::vector<std::string> lines = {"Flash erased\r\n", "Flash erased\n\r", "\r\n",
                                            "split\rinside\r\n", "a\r\n\r\nb\r\n"};
    for (const std::string& line : lines) layer().ListAddString(IDC_LIST_LOG, line);
    auto* list = qobject_cast<QAbstractItemView*>(layer().Widget(IDC_LIST_LOG));
    layer().FlushLists();  // the window mirrors new entries in batches
    ASSERT_EQ(list->model()->rowCount(), static_cast<int>(lines.size()));
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        const QModelIndex index = list->model()->index(i, 0);
        EXPECT_EQ(index.data().toString().toStdString(), lines[i]);  // the entry is unchanged
        EXPECT_LT(list->visualRect(index).height(), 2 * list->fontMetrics().lineSpacing()) << i;
    }
}

TEST_F(MainWindowTest, NoPortsShowsTheErrorBox) {
    ports.ports.clear();
    ChoosePort(layer(), QStringLiteral("Select Com Port"));
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, "The port is not ready. Try again!");
    EXPECT_EQ(prompts.boxes[0].caption, "Error");
    EXPECT_EQ(prompts.boxes[0].type, MB_ICONHAND);
}

TEST_F(MainWindowTest, EnterAndEscapeNeverCloseTheWindowNorPressAButton) {
    QPushButton* program = button(IDC_PROGRAM_APPLICATION);
    program->setFocus();
    for (QWidget* target : {static_cast<QWidget*>(program), static_cast<QWidget*>(&window())}) {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(target, key);
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(window().isVisible());
    ASSERT_NE(session->Dialog(), nullptr);
    EXPECT_TRUE(prompts.boxes.empty());  // the focused button was not pressed

    // Other keys still reach the controls: Space presses the focused button (which, with no
    // port open, says so).
    QTest::keyClick(program, Qt::Key_Space);
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, COrloDlg::kNoPortOpen);
}

TEST_F(MainWindowTest, F1AndTheContextMenuItemOpenTheAboutBox) {
    QTest::keyClick(&window(), Qt::Key_F1);
    EXPECT_EQ(prompts.aboutBoxes, 1);
    // The dialog appended its item to the window menu, which the context menu shows.
    ASSERT_EQ(layer().SystemMenu().size(), 1u);
    EXPECT_EQ(layer().SystemMenu()[0].first, IDM_ABOUTBOX);
    EXPECT_EQ(layer().SystemMenu()[0].second, "Orlo 정보(&A)...");
    layer().SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    EXPECT_EQ(prompts.aboutBoxes, 2);
}

TEST(AboutBox, ShowsTheVersionAndClosesWithItsButton) {
    AboutBox box;
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Orlo 정보"));
    QStringList texts;
    for (QLabel* label : box.findChildren<QLabel*>()) texts << label->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Orlo, 버전 1.0")));
    auto* ok = box.findChild<QPushButton*>(QStringLiteral("IDOK"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("확인"));
    box.show();
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.result(), QDialog::Accepted);
}

// Qt's own box for a question: Yes and No, No the default unless the style says otherwise, the
// answer as the window layer's; a detail goes under the text.
TEST(QtBoxes, AQuestionHasYesAndNoAndADetailGoesUnderTheText) {
    QtWindow layer;
    struct Seen {
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QString text, detail;
    };
    std::vector<Seen> seen;
    QMessageBox::StandardButton press = QMessageBox::Yes;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        seen.push_back({box->standardButtons(), box->standardButton(box->defaultButton()),
                        box->text(), box->informativeText()});
        QAbstractButton* button = box->button(press);
        (button != nullptr ? button : box->buttons().front())->click();
    });
    watcher.start(5);
    EXPECT_EQ(layer.MessageBox("Go on?", "Orlo", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), IDYES);
    press = QMessageBox::No;
    EXPECT_EQ(layer.MessageBox("Go on?", "Orlo", MB_YESNO), IDNO);
    EXPECT_EQ(layer.DetailedMessageBox("Can not use COM port!", "The reason.", "Orlo", MB_OK), IDOK);
    watcher.stop();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(seen[0].defaultButton, QMessageBox::No);
    EXPECT_EQ(seen[1].defaultButton, QMessageBox::Yes);
    EXPECT_EQ(seen[2].buttons, QMessageBox::Ok);
    EXPECT_EQ(seen[2].text, QStringLiteral("Can not use COM port!"));
    EXPECT_EQ(seen[2].detail, QStringLiteral("The reason."));
}

TEST_F(MainWindowTest, MouseMovesOverTheBackgroundShowTheirPosition) {
    window().SetServiceMode(true);
    QCoreApplication::processEvents();
    const QPoint background(window().Client().width() - 10, window().Client().height() / 2);
    ASSERT_EQ(window().childAt(background), &window().Client());
    QTest::mouseMove(window().windowHandle(), background);
    ASSERT_TRUE(PumpUntil([&] { return session->Dialog()->m_mouseX == background.x(); }));
    EXPECT_EQ(session->Dialog()->m_mouseY, background.y());
    EXPECT_EQ(ControlWidget<QLineEdit>(layer(), IDC_MOUSE_X)->text(),
              QString::number(background.x()));
    EXPECT_EQ(ControlWidget<QLineEdit>(layer(), IDC_MOUSE_Y)->text(),
              QString::number(background.y()));

    // Over a control the control has the move.
    QPushButton* voice = button(IDC_PROGRAM_VOICE);
    QTest::mouseMove(window().windowHandle(), voice->geometry().center());
    QCoreApplication::processEvents();
    EXPECT_EQ(session->Dialog()->m_mouseX, background.x());
}

TEST_F(MainWindowTest, ServiceModeShowsTheHiddenControlsInTheirPanel) {
    const int height = window().height();
    QTest::keyClick(&window(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    QCoreApplication::processEvents();
    ASSERT_TRUE(window().ServiceMode());
    EXPECT_GT(window().height(), height);
    EXPECT_EQ(window().minimumSize(), window().maximumSize());
    for (const ControlTemplate& row : kMainDialogTemplate.controls) {
        if (row.id == IDC_STATIC || row.shown) continue;
        QWidget* widget = layer().Widget(row.id);
        EXPECT_TRUE(widget->isVisible()) << row.id;
        EXPECT_TRUE(window().Panel().isAncestorOf(widget)) << row.id;
    }
    EXPECT_EQ(ControlWidget<QLineEdit>(layer(), IDC_SWEEP_TIME)->text(), QStringLiteral("40"));
    EXPECT_EQ(ControlWidget<QLineEdit>(layer(), IDC_TM)->text(), QStringLiteral("20000"));

    // A service button reaches its handler: Read Log and Save asks for a .csv file.
    QTest::mouseClick(button(IDC_READ_LOG_AND_SAVE), Qt::LeftButton);
    ASSERT_EQ(prompts.fileDialogs.size(), 1u);
    EXPECT_EQ(prompts.fileDialogs[0].filter, "csv file(*.csv), csv file(*.csv)|*.csv;*.csv");

    QTest::keyClick(&window(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(window().ServiceMode());
}

// On a 1280 x 1024, a 1024 x 768 and an 800 x 600 screen the window with its service panel
// fits, and every service control can be scrolled into sight.
TEST_F(MainWindowTest, TheServicePanelFitsTheScreenAndScrollsToEveryControl) {
    auto* scroll = window().findChild<QScrollArea*>(QStringLiteral("servicePanelScroll"));
    ASSERT_NE(scroll, nullptr);
    window().SetServiceMode(true);
    for (const QSize screen : {QSize(1280, 1024), QSize(1024, 768), QSize(800, 600)}) {
        SCOPED_TRACE(screen.height());
        window().FitTo(screen);
        QCoreApplication::processEvents();
        // Room for the desktop's title bar and frame is left.
        EXPECT_LE(window().height(), screen.height() - 32);
        EXPECT_LE(window().width(), std::max(screen.width(), window().Client().width()));
        const QRect shown = window().rect();
        for (const ControlTemplate& row : kMainDialogTemplate.controls) {
            if (row.id == IDC_STATIC || row.shown) continue;
            QWidget* widget = layer().Widget(row.id);
            scroll->ensureWidgetVisible(widget, 0, 0);
            const QRect place(widget->mapTo(&window(), QPoint(0, 0)), widget->size());
            EXPECT_TRUE(scroll->viewport()->rect().contains(
                QRect(widget->mapTo(scroll->viewport(), QPoint(0, 0)), widget->size())))
                << row.id;
            EXPECT_TRUE(shown.contains(place)) << row.id;
        }
    }
    EXPECT_EQ(window().minimumSize(), window().maximumSize());
}

// The worked example of the converter: arrow.bmp, 16 x 2 pixels at 1 bit, colour 1 white,
// stored rows 80 01 (bottom) and F0 0F (top).
std::vector<uint8_t> ArrowBitmap() {
    std::vector<uint8_t> bmp = {
        'B',  'M',  70,   0,    0,    0,    0,    0,    0, 0, 62, 0, 0, 0,        // file header
        40,   0,    0,    0,    16,   0,    0,    0,    2, 0, 0,  0, 1, 0, 1, 0,  // 16 x 2, 1 bit
        0,    0,    0,    0,    8,    0,    0,    0,    0, 0, 0,  0, 0, 0, 0, 0,
        2,    0,    0,    0,    0,    0,    0,    0,     // colours used, important
        0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00,  // black, white
        0x80, 0x01, 0x00, 0x00, 0xF0, 0x0F, 0x00, 0x00};
    return bmp;
}

// A 16 x 2 bitmap at 4 bits with 16 colours (0 black, 1 white, the rest grey): all black but
// the top-left pixel, which is white.
std::vector<uint8_t> GrayBitmap() {
    std::vector<uint8_t> bmp = {'B', 'M', 134, 0, 0, 0, 0, 0, 0, 0, 118, 0, 0, 0, 40, 0, 0,  0,
                                16,  0,   0,   0, 2, 0, 0, 0, 1, 0, 4,   0, 0, 0, 0,  0, 16, 0,
                                0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 16,  0, 0, 0, 0,  0, 0,  0};
    for (int i = 0; i < 16; ++i) {
        const uint8_t v = i == 0 ? 0x00 : (i == 1 ? 0xFF : 0x80);
        bmp.insert(bmp.end(), {v, v, v, 0});
    }
    bmp.insert(bmp.end(), 8, 0x00);                      // bottom row: black
    bmp.insert(bmp.end(), {0x10, 0, 0, 0, 0, 0, 0, 0});  // top row: white, then black
    return bmp;
}

TEST_F(MainWindowTest, TheBitmapConverterPaintsItsPreviewIntoThePanel) {
    window().SetServiceMode(true);
    test::TempDir dir;
    prompts.answers.push_back(dir.Write("arrow.bmp", ArrowBitmap()));
    QTest::mouseClick(button(IDC_BMP_1BIT), Qt::LeftButton);
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the wait cursor was not ended";

    // A white 256 x 32 field at (180, 256) of the client area, the bitmap in its corner.
    const PreviewCanvas* preview = window().Panel().Preview();
    EXPECT_EQ(preview->Area(), QRect(180, 256, 256, 32));
    EXPECT_EQ(preview->PixelAt(180, 256), QColor(Qt::white));  // top row: F0 0F
    EXPECT_EQ(preview->PixelAt(184, 256), QColor(Qt::black));
    EXPECT_EQ(preview->PixelAt(195, 256), QColor(Qt::white));
    EXPECT_EQ(preview->PixelAt(181, 257), QColor(Qt::black));  // bottom row: 80 01
    EXPECT_EQ(preview->PixelAt(195, 257), QColor(Qt::white));
    EXPECT_EQ(preview->PixelAt(181, 258), QColor(Qt::white));  // below the bitmap: the field
    EXPECT_EQ(preview->PixelAt(300, 256), QColor(Qt::white));

    // The 4-bit converter's preview lies lower; the canvas grows to show both.
    prompts.answers.push_back(dir.Write("gray.bmp", GrayBitmap()));
    QTest::mouseClick(button(IDC_BMP_4BIT), Qt::LeftButton);
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(preview->Area(), QRect(180, 256, 256, 86));
    EXPECT_EQ(preview->PixelAt(180, 310), QColor(Qt::white));
    EXPECT_EQ(preview->PixelAt(181, 310), QColor(Qt::black));
    EXPECT_EQ(preview->PixelAt(180, 311), QColor(Qt::black));
    // Both converters fill the same white field first, so the 1-bit picture is gone.
    EXPECT_EQ(preview->PixelAt(184, 256), QColor(Qt::white));
}

TEST_F(MainWindowTest, TheCloseBoxEndsTheDialogAndClosesAnOpenPort) {
    ASSERT_TRUE(ChoosePort(layer(), QStringLiteral("COM3")));
    QTest::mouseClick(button(IDC_OPEN), Qt::LeftButton);
    ASSERT_TRUE(serial.last);
    EXPECT_TRUE(window().close());
    EXPECT_FALSE(window().isVisible());
    EXPECT_EQ(session->Dialog(), nullptr);
    EXPECT_TRUE(serial.last->Closed());
    EXPECT_FALSE(layer().IsWindow());
}

TEST_F(MainWindowTest, AClosePressedWhileAHandlerWaitsInABoxEndsTheDialogAfterIt) {
    // The dialog must not be taken apart under a handler that is still on the stack.
    ports.ports.clear();
    bool closedInsideBox = true;
    prompts.whileBoxOpen = [&](const test::Box&) {
        closedInsideBox = window().close();
        EXPECT_NE(session->Dialog(), nullptr);
    };
    ChoosePort(layer(), QStringLiteral("Select Com Port"));
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_FALSE(closedInsideBox);
    ASSERT_TRUE(PumpUntil([&] { return session->Dialog() == nullptr; }));
    EXPECT_FALSE(window().isVisible());
}

TEST_F(MainWindowTest, QtsFileDialogGetsTheTranslatedFilterAndTheDefaultExtension) {
    layer().SetPrompts({});  // Qt's own dialogs from here on
    test::TempDir dir;
    QStringList filters, shown, patterns;
    QString suffix;
    bool saving = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        answer.stop();
        filters = dialog->nameFilters();
        if (auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
            for (int i = 0; i < types->count(); ++i) shown << types->itemText(i);
        if (auto* files = dialog->findChild<QFileSystemModel*>()) patterns = files->nameFilters();
        suffix = dialog->defaultSuffix();
        saving = dialog->acceptMode() == QFileDialog::AcceptSave;
        dialog->selectFile(QString::fromStdString(dir.Path("readback")));
        QMetaObject::invokeMethod(dialog, "accept");  // the OK button
    });
    answer.start(5);
    FileDialogRequest request;
    request.open = false;
    request.defaultExt = "bin file";
    request.initialName = "*.bin";
    request.flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
    request.filter = "bin File(*.bin) | *.bin | 모든파일(*.*) | *.*|";
    const FileDialogResult result = layer().DoFileDialog(request);

    EXPECT_TRUE(saving);
    EXPECT_EQ(filters, QStringList({"bin File(*.bin) (*.bin)", "모든파일(*.*) (*)"}));
    EXPECT_EQ(shown, QStringList({"bin File(*.bin)", "모든파일(*.*)"}));  // each text once
    EXPECT_EQ(patterns, QStringList({"*.bin"}));                         // and they filter
    EXPECT_EQ(suffix, QStringLiteral("bin"));
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.fullPath, dir.Path("readback.bin"));
    EXPECT_EQ(result.fileName, "readback.bin");
}

}  // namespace
}  // namespace orlo::gui
