#include "MainWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
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

}  // namespace

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

    m_panel = new ServicePanel(layer, m_du, this);
    for (QWidget* w : m_panel->Background()) m_router->AddBackground(w);
    m_panel->hide();
    m_router->onToggleService = [this] { SetServiceMode(!ServiceMode()); };

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_client);
    layout->addWidget(m_panel);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // fixed size, with or without the panel
}

MainWindow::~MainWindow() = default;

void MainWindow::SetServiceMode(bool on) {
    m_panel->setVisible(on);
}

bool MainWindow::ServiceMode() const {
    return m_panel->isVisibleTo(this);
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
