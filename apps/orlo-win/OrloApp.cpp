#include "OrloApp.h"

#include <memory>

#include "SelfTest.h"
#include "SystemPorts.h"
#include "run/Guards.h"

#include <commctrl.h>

namespace orlo::win {

std::unique_ptr<run::Run> MakeWindowRun(Win32DialogWindow& window, ISerialBackend& serial,
                                        IPortTable& ports) {
    run::RunSetup setup;
    setup.window = &window;
    setup.serial = &serial;
    setup.ports = &ports;
    setup.imageQuestion = run::ImageQuestion;
    auto made = std::make_unique<run::Run>(std::move(setup), run::WindowPolicy());
    run::Run* run = made.get();
    window.SetPreTranslate(
        [run](const InputMessage& msg) { return run->Dialog().PreTranslateMessage(msg); });
    return made;
}

int RunApp(HINSTANCE instance, const AppOptions& options, std::string* report) {
    // The progress bar is a common control.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);

    Win32DialogWindow window(instance);
    if (!window.Create(IDD_ORLO_DIALOG)) {
        if (report != nullptr) *report = "orlo-gui: the main dialog could not be created\n";
        return 1;
    }
    std::unique_ptr<IPortTable> ports = MakeSystemPortTable();
    std::unique_ptr<ISerialBackend> serial = MakeSerialBackend(*ports);

    const std::unique_ptr<run::Run> run = MakeWindowRun(window, *serial, *ports);
    if (options.selfTest) return RunSelfTest(window, instance, report);
    if (!options.screenshot.empty()) return SaveScreenshot(window, options.screenshot, report);

    window.Show(options.showCommand);
    window.RunModalLoop();
    return 0;
}

}  // namespace orlo::win
