// A dialog on the scripted window with a fake serial backend and port table, for tests of the
// dialog's handlers. Received bytes can be fed straight into the ring (Feed) or through a real
// reader thread (OpenFakePort + transport()->Inject + Pump).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "app/OrloDlg.h"
#include "support/FakeSerial.h"
#include "support/ScriptedWindow.h"
#include "window/EventLoop.h"

namespace orlo::test {

class DialogFixture {
public:
    explicit DialogFixture(std::vector<std::string> ports = {"COM3"});
    ~DialogFixture();

    COrloDlg& dlg() { return *m_dlg; }
    ScriptedWindow& wnd() { return m_window; }
    EventLoop& loop() { return m_loop; }
    FakeSerialBackend& serial() { return m_serial; }
    FakePortTable& ports() { return m_ports; }
    FakeTransport* transport() { return m_serial.last.get(); }

    // Drops the list down, chooses entry `index` and presses Open.
    void OpenFakePort(int index = 1);
    // Puts bytes into the ring by the producer rule and runs OnCommRx once.
    void Feed(const std::vector<uint8_t>& bytes);
    // Runs the event loop until `done` or the timeout; false on timeout.
    bool Pump(const std::function<bool()>& done,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Frames written to the port since the last call (one entry per write).
    std::vector<std::vector<uint8_t>> TakeWrites();

    std::time_t fakeNow = 1362665109;  // 2013-03-07 14:05:09 UTC

private:
    EventLoop m_loop;
    ScriptedWindow m_window{m_loop};
    FakeSerialBackend m_serial;
    FakePortTable m_ports;
    std::unique_ptr<COrloDlg> m_dlg;
    std::size_t m_writesTaken = 0;
    FakeTransport* m_writesFrom = nullptr;
};

}  // namespace orlo::test
