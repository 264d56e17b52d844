#include "ServicePanel.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include "PreviewCanvas.h"
#include "QtWindow.h"
#include "app/Resource.h"

namespace orlo::gui {

namespace {

// Sizes in dialog units where the template's own size is too small to use in a panel.
constexpr int kLogListWidth = 250;
constexpr int kLogListHeight = 60;
constexpr int kLogPathWidth = 180;

// A caption of the main template's decorations, which name these groups there.
QString DecorationCaption(ControlKind kind, const char* caption) {
    const ControlTemplate* row = FindDecoration(kind, caption);
    return QString::fromUtf8(row ? row->caption : caption);
}

}  // namespace

ServicePanel::ServicePanel(QtWindow& layer, const DialogUnits& du, QWidget* parent)
    : QWidget(parent), m_layer(layer), m_du(du) {
    setObjectName(QStringLiteral("servicePanel"));
    m_background.push_back(this);

    // Read-back of the four regions, programming of the user region, and the check block.
    auto* readBack = new QGridLayout;
    readBack->addWidget(Control(IDC_READ_APPLICATION), 0, 0);
    readBack->addWidget(Control(IDC_READ_VOICE), 0, 1);
    readBack->addWidget(Control(IDC_READ_MAP), 0, 2);
    readBack->addWidget(Control(IDC_READ_USER), 0, 3);
    readBack->addWidget(Control(IDC_PROGRAM_USER), 0, 4);
    readBack->addWidget(Control(IDC_CHECK_APPLICATION), 1, 0);
    QWidget* checkText = Control(IDC_CHECK_TEXT);
    checkText->setMinimumWidth(du.X(200));
    readBack->addWidget(checkText, 1, 1, 1, 4);
    readBack->setColumnStretch(5, 1);

    // The sweep settings: maximum and minimum with their steps, the time and Tm, and Read.
    auto sweepRow = [this](int plus100, int plus10, int value, int minus10, int minus100) {
        auto* row = new QHBoxLayout;
        for (int id : {minus100, minus10, value, plus10, plus100}) row->addWidget(Control(id));
        return row;
    };
    auto* sweepTime = new QHBoxLayout;
    sweepTime->addWidget(Control(IDC_SWEEP_TIME));
    auto* ms = new QLabel(DecorationCaption(ControlKind::Label, "ms"));
    sweepTime->addWidget(ms);
    m_background.push_back(ms);
    auto* tm = new QLabel(DecorationCaption(ControlKind::Label, "Tm"));
    m_background.push_back(tm);
    sweepTime->addSpacing(du.X(8));
    sweepTime->addWidget(tm);
    sweepTime->addWidget(Control(IDC_TM));
    auto* sweep = new QHBoxLayout;
    sweep->addWidget(Group(DecorationCaption(ControlKind::GroupBox, "Sweep Max"),
                           sweepRow(IDC_SWEEP_MAX_PLUS100, IDC_SWEEP_MAX_PLUS10, IDC_SWEEP_MAX,
                                    IDC_SWEEP_MAX_MINUS10, IDC_SWEEP_MAX_MINUS100)));
    sweep->addWidget(Group(DecorationCaption(ControlKind::GroupBox, "Sweep Min"),
                           sweepRow(IDC_SWEEP_MIN_PLUS100, IDC_SWEEP_MIN_PLUS10, IDC_SWEEP_MIN,
                                    IDC_SWEEP_MIN_MINUS10, IDC_SWEEP_MIN_MINUS100)));
    sweep->addWidget(Group(DecorationCaption(ControlKind::GroupBox, "Sweep Time"), sweepTime));
    sweep->addWidget(Control(IDC_SWEEP_READ), 0, Qt::AlignBottom);
    sweep->addStretch();

    // The device log: the log file's path and SaveAs, the list of lines, the test string.
    auto* log = new QGridLayout;
    QWidget* path = Control(IDC_LOG_PATH);
    path->setFixedWidth(du.X(kLogPathWidth));
    log->addWidget(path, 0, 0);
    log->addWidget(Control(IDC_SAVE_AS), 0, 1, Qt::AlignLeft);
    QWidget* list = Control(IDC_LIST_LOG);
    list->setFixedSize(du.Size(kLogListWidth, kLogListHeight));
    log->addWidget(list, 1, 0, 1, 2);
    auto* logButtons = new QVBoxLayout;
    logButtons->addWidget(Control(IDC_TEST_TX));
    logButtons->addWidget(Control(IDC_READ_LOG_AND_SAVE));
    logButtons->addStretch();
    log->addLayout(logButtons, 0, 2, 2, 1);

    auto* mouse = new QHBoxLayout;
    mouse->addWidget(Control(IDC_MOUSE_X));
    mouse->addWidget(Control(IDC_MOUSE_Y));
    mouse->addStretch();

    // The bitmap converters and the preview they paint.
    auto* bitmaps = new QHBoxLayout;
    auto* bitmapButtons = new QVBoxLayout;
    bitmapButtons->addWidget(Control(IDC_BMP_1BIT));
    bitmapButtons->addWidget(Control(IDC_BMP_4BIT));
    bitmapButtons->addStretch();
    bitmaps->addLayout(bitmapButtons);
    m_preview = new PreviewCanvas;
    m_preview->setObjectName(QStringLiteral("preview"));
    m_preview->setMinimumSize(256, 86);
    bitmaps->addWidget(m_preview, 1);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(du.X(7), 0, du.X(7), du.Y(7));
    grid->addWidget(Group(QStringLiteral("Read back and check"), readBack), 0, 0, 1, 2);
    grid->addLayout(sweep, 1, 0, 1, 2);
    grid->addWidget(Group(DecorationCaption(ControlKind::GroupBox, "Log Data Save"), log), 2, 0);
    auto* right = new QVBoxLayout;
    right->addWidget(Group(DecorationCaption(ControlKind::GroupBox, "Mouse"), mouse));
    right->addStretch();
    grid->addLayout(right, 2, 1, Qt::AlignTop | Qt::AlignLeft);
    grid->setColumnStretch(1, 1);
    grid->addWidget(Group(QStringLiteral("Bitmap converter"), bitmaps), 3, 0, 1, 2);
    m_background.push_back(m_preview);
    layer.SetPreview(m_preview);
}

QWidget* ServicePanel::Control(int id) {
    const ControlTemplate* row = FindControlTemplate(id);
    QWidget* widget = CreateControl(*row, this);
    widget->setObjectName(QStringLiteral("control%1").arg(id));
    // The template's size, grown where the caption or the text would not fit at this font.
    const QSize hint = widget->sizeHint();
    const int captionWidth =
        widget->fontMetrics().horizontalAdvance(QString::fromUtf8(row->caption));
    const QSize least = row->kind == ControlKind::PushButton
                            ? QSize(captionWidth + m_du.X(8), hint.height())
                            : QSize(0, hint.height());
    widget->setFixedSize(m_du.Size(row->w, row->h).expandedTo(least));
    m_layer.Bind(id, widget, true);
    return widget;
}

QWidget* ServicePanel::Group(const QString& title, QLayout* layout) {
    auto* group = new QGroupBox(title, this);
    group->setLayout(layout);
    m_background.push_back(group);
    return group;
}

}  // namespace orlo::gui
