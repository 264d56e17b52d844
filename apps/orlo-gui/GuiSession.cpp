#include "GuiSession.h"

#include "run/Guards.h"

namespace orlo::gui {

GuiSession::GuiSession(ISerialBackend& serial, IPortTable& ports, Options options)
    : m_ports(ports) {
    m_main = std::make_unique<MainWindow>(m_layer);
    m_main->onClose = [this] { return OnClose(); };
    m_layer.SetPortDetails([this](const std::string& entry) { return PortDetails(entry); },
                           &m_main->PortDetails());

    // The window's runs go through the run layer: alignment, strays, port loss and the outcome
    // are the same as on the command line.
    run::RunSetup setup;
    setup.window = &m_layer;
    setup.serial = &serial;
    setup.ports = &ports;
    setup.wallClock = std::move(options.now);
    setup.imageQuestion = run::ImageQuestion;
    m_run = std::make_unique<run::Run>(std::move(setup), run::WindowPolicy());
    m_layer.SetPreTranslate(
        [this](const InputMessage& msg) { return Dialog() && Dialog()->PreTranslateMessage(msg); });
    m_details = new RunDetails(m_layer, m_main->RunDetailsLabel(),
                               [this]() -> const COrloDlg* { return Dialog(); });
    m_main->SetServiceMode(options.serviceMode);
}

GuiSession::~GuiSession() {
    EndDialog();
    m_main.reset();
}

void GuiSession::EndDialog() {
    m_run.reset();
}

bool GuiSession::OnClose() {
    if (!m_run) return true;
    // The close box may be pressed while a handler waits in a box of its own; the dialog ends
    // when that handler has returned, never under its feet.
    if (m_layer.InHandler()) {
        m_layer.AfterHandlers([this] { m_main->close(); });
        return false;
    }
    EndDialog();
    return true;
}

QString GuiSession::PortDetails(const std::string& entry) {
    // The list shows "COM" and two characters of each name; find the port it stands for.
    for (const PortInfo& port : m_ports.Enumerate()) {
        const std::string shown =
            "COM" + port.comName.substr(std::min<size_t>(3, port.comName.size()), 2);
        if (port.comName != entry && shown != entry) continue;
        QString details = QString::fromStdString(port.devicePath);
        if (!port.description.empty())
            details += QStringLiteral(" \u2014 ") + QString::fromStdString(port.description);
        if (!port.byId.empty())
            details += QStringLiteral(" \u2014 ") + QString::fromStdString(port.byId);
        return details;
    }
    return {};
}

}  // namespace orlo::gui
