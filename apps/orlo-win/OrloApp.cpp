#include "OrloApp.h"

#include <memory>

#include "SelfTest.h"
#include "SystemPorts.h"
#include "app/OrloDlg.h"
#include "run/Guards.h"
#include "win32/Win32DialogWindow.h"

#include <commctrl.h>

namespace orlo::win {

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

    OrloEnvironment env;
    env.window = &window;
    env.serial = serial.get();
    env.ports = ports.get();
    env.imageQuestion = run::ImageQuestion;

    // The dialog goes before the port table and backend it uses: its destructor closes the
    // window first, then the port, and waits for the reader.
    COrloDlg dlg(env);
    window.SetPreTranslate(
        [&dlg](const InputMessage& msg) { return dlg.PreTranslateMessage(msg); });
    dlg.OnInitDialog();
    if (options.selfTest) return RunSelfTest(window, instance, report);
    if (!options.screenshot.empty()) return SaveScreenshot(window, options.screenshot, report);

    window.Show(options.showCommand);
    window.RunModalLoop();
    return 0;
}

}  // namespace orlo::win
