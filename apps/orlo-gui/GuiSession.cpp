#include "GuiSession.h"

#include "run/Guards.h"

namespace orlo::gui {

GuiSession::GuiSession(ISerialBackend& serial, IPortTable& ports, Options options)
    : m_ports(ports) {
    m_main = std::make_unique<MainWindow>(m_layer);
    m_main->onClose = [this] { return OnClose(); };
    m_layer.SetPortDetails([this](const std::string& entry) { return PortDetails(entry); },
                           &m_main->PortDetails());

    OrloEnvironment env;
    env.window = &m_layer;
    env.serial = &serial;
    env.ports = &ports;
    env.now = std::move(options.now);
    env.imageQuestion = run::ImageQuestion;
    m_dlg = std::make_unique<COrloDlg>(env);
    m_layer.SetPreTranslate(
        [this](const InputMessage& msg) { return m_dlg && m_dlg->PreTranslateMessage(msg); });
    m_dlg->OnInitDialog();
    m_details = new RunDetails(m_layer, m_main->RunDetailsLabel(),
                               [this]() -> const COrloDlg* { return m_dlg.get(); });
    m_main->SetServiceMode(options.serviceMode);
}

GuiSession::~GuiSession() {
    EndDialog();
    m_main.reset();
}

void GuiSession::EndDialog() {
    m_dlg.reset();
}

bool GuiSession::OnClose() {
    if (!m_dlg) return true;
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
