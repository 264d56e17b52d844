#include "MainWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "AppIcon.h"
#include "InputRouter.h"
#include "QtWindow.h"
#include "ServicePanel.h"
#include "app/Resource.h"

namespace orlo::gui {

namespace {

// Where the chosen port's device path and description show: the free space right of the
// "Select Com Port" group, in dialog units.
constexpr int kDetailsX = 136, kDetailsY = 21, kDetailsW = 370, kDetailsH = 9;
// Where a run's file, bytes, rate and time left show: right of the Program buttons.
constexpr int kRunX = 394, kRunY = 40, kRunW = 118, kRunH = 31;
// Room left for the window's frame and title bar, which the desktop adds around it.
constexpr int kFrameAllowance = 48;

}  // namespace

// The service panel in a scroll area as large as the panel, or as large as the screen allows.
class PanelScroll : public QScrollArea {
  public:
    explicit PanelScroll(QWidget* panel) {
        setObjectName(QStringLiteral("servicePanelScroll"));
        setFrameShape(QFrame::NoFrame);
        setWidget(panel);  // watches the panel: its layout requests arrive below
        setWidgetResizable(true);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget() && event->type() == QEvent::LayoutRequest) updateGeometry();
        return QScrollArea::eventFilter(watched, event);
    }
    void SetLimit(QSize limit) {
        m_limit = limit;
        updateGeometry();
    }
    QSize sizeHint() const override {
        QSize want = widget()->sizeHint();
        if (want.height() > m_limit.height())  // a vertical bar takes its width
            want.rwidth() += verticalScrollBar()->sizeHint().width();
        if (want.width() > m_limit.width())
            want.rheight() += horizontalScrollBar()->sizeHint().height();
        return want.boundedTo(m_limit);
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

  private:
    QSize m_limit{QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
};

MainWindow::MainWindow(QtWindow& layer)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_layer(layer),
      m_du(DialogUnits::ForFont(DialogFont(kMainDialogTemplate))) {
    const DialogTemplate& dialog = kMainDialogTemplate;
    setFont(DialogFont(dialog));
    setWindowTitle(QString::fromUtf8(dialog.caption));
    setWindowIcon(AppIcon());
    setSizeGripEnabled(false);
    layer.SetMainWidget(this);
    m_router = std::make_unique<InputRouter>(this, layer);

    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    m_client->setFixedSize(m_du.Size(dialog.width, dialog.height));
    m_router->AddBackground(m_client);

    // The shown rows of the template, in tab order, at their places. Decorations go beneath
    // the controls they frame.
    for (const ControlTemplate& row : dialog.controls) {
        if (!row.shown) continue;
        QWidget* widget = CreateControl(row, m_client);
        QRect place = m_du.Rect(row);
        if (row.kind == ControlKind::ComboBox)  // the template's height includes the list
            place.setHeight(std::min(place.height(), widget->sizeHint().height()));
        widget->setGeometry(place);
        if (row.id == IDC_STATIC) {
            widget->lower();
            m_router->AddBackground(widget);
        } else {
            widget->setObjectName(QStringLiteral("control%1").arg(row.id));
            layer.Bind(row.id, widget);
        }
    }

    m_portDetails = new QLabel(m_client);
    m_portDetails->setObjectName(QStringLiteral("portDetails"));
    m_portDetails->setGeometry(m_du.Rect(kDetailsX, kDetailsY, kDetailsW, kDetailsH));
    m_portDetails->setForegroundRole(QPalette::PlaceholderText);
    m_router->AddBackground(m_portDetails);

    m_runDetails = new QLabel(m_client);
    m_runDetails->setObjectName(QStringLiteral("runDetails"));
    m_runDetails->setGeometry(m_du.Rect(kRunX, kRunY, kRunW, kRunH));
    m_runDetails->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_runDetails->setForegroundRole(QPalette::PlaceholderText);
    m_router->AddBackground(m_runDetails);

    m_panel = new ServicePanel(layer, m_du, this);
    for (QWidget* w : m_panel->Background()) m_router->AddBackground(w);
    m_panelScroll = new PanelScroll(m_panel);
    m_panelScroll->hide();
    m_router->onToggleService = [this] { SetServiceMode(!ServiceMode()); };

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_client);
    layout->addWidget(m_panelScroll);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // fixed size, with or without the panel
}

MainWindow::~MainWindow() = default;

void MainWindow::SetServiceMode(bool on) {
    m_panelScroll->setVisible(on);
}

bool MainWindow::ServiceMode() const {
    return m_panelScroll->isVisibleTo(this);
}

void MainWindow::FitTo(QSize available) {
    const QSize room(available.width() - kFrameAllowance / 2,
                     available.height() - kFrameAllowance - m_client->height());
    m_panelScroll->SetLimit(room.expandedTo(QSize(0, 0)));
    if (layout()) layout()->activate();
}

void MainWindow::showEvent(QShowEvent* event) {
    if (QScreen* s = screen()) FitTo(s->availableGeometry().size());
    QDialog::showEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (onClose && !onClose()) {
        event->ignore();
        return;
    }
    event->accept();  // not QDialog's own handling, which would ask reject()
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    // The window menu belongs to the desktop on Linux: the dialog's own item (About) is here.
    QMenu menu(this);
    for (const auto& [command, text] : m_layer.SystemMenu()) {
        menu.addSeparator();
        const unsigned id = command;
        menu.addAction(QString::fromStdString(text),
                       [this, id] { m_layer.SendMessage(WM_SYSCOMMAND, id, 0); });
    }
    menu.addSeparator();
    QAction* service = menu.addAction(QStringLiteral("Service controls"),
                                      [this] { SetServiceMode(!ServiceMode()); });
    service->setCheckable(true);
    service->setChecked(ServiceMode());
    service->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    menu.exec(event->globalPos());
}

}  // namespace orlo::gui
