// The commands that need no device: the port list and the bitmap converter.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>

#include "Commands.h"
#include "ConsoleWindow.h"
#include "Messages.h"
#include "PlatformPorts.h"
#include "app/OrloDlg.h"
#include "tools/BitmapConverter.h"

namespace orlo::cli {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kWmLButtonUp = 0x0202;  // the queued mouse message of a click

// The converter's window: its messages are printed and its preview means the header exists.
class ConverterListener : public ConsoleWindowListener {
  public:
    explicit ConverterListener(Reporter& reporter) : m_reporter(reporter) {}

    void OnMessageBox(const std::string& text, const std::string&, unsigned) override {
        const BoxVerdict verdict = ClassifyBox(text, {}, true);
        m_reporter.Box(-1, text, verdict.kind);
        if (verdict.kind == BoxKind::Failure && !failed) {
            failed = true;
            failure = verdict.code;
        }
    }
    void OnStatusText(const std::string&) override {}
    void OnProgressPos(int) override {}
    void OnLogEntry(const std::string&) override {}
    void OnPreviewDrawn(const std::string&) override { previewDrawn = true; }
    void OnBeforeMessage(uint32_t) override {}
    void OnAfterMessage(uint32_t) override {}

    bool failed = false;
    ExitCode failure = ExitCode::FileProblem;
    bool previewDrawn = false;

  private:
    Reporter& m_reporter;
};

bool EndsWithBmp(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".bmp";
}

}  // namespace

int RunPorts(const OutputOptions& output) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    const auto ports = ListPorts();
    reporter.PortList(ports);
    if (ports.empty()) reporter.Error(-1, "no serial ports found");
    reporter.Finish({}, 0);
    return reporter.Conclude(0);
}

int RunBmp2h(const OutputOptions& output, int bits, const std::string& bitmap) {
    Reporter reporter(std::cout, std::cerr, MakeReporterOptions(output));
    auto finish = [&reporter](ExitCode code) {
        reporter.Finish({}, ToInt(code));
        return reporter.Conclude(ToInt(code));
    };
    // The header's name is the bitmap's without "bmp", plus "h": any other name would give a
    // header path nobody asked for.
    if (!EndsWithBmp(bitmap)) {
        reporter.Error(-1, "bmp2h: " + bitmap + " does not end in .bmp");
        return finish(ExitCode::Usage);
    }
    std::error_code ec;
    if (!fs::is_regular_file(bitmap, ec) || ::access(bitmap.c_str(), R_OK) != 0) {
        reporter.Error(-1, "cannot read " + bitmap + ": " +
                               (fs::exists(bitmap, ec) ? "not a readable file" : "no such file"));
        return finish(ExitCode::FileProblem);
    }
    const fs::path absolute = fs::absolute(bitmap, ec).lexically_normal();
    const std::string path = ec ? bitmap : absolute.string();

    EventLoop loop;
    ConverterListener listener(reporter);
    ConsoleWindow window(loop, &listener);
    OrloEnvironment env;
    env.window = &window;
    auto dlg = std::make_unique<COrloDlg>(env);
    dlg->OnInitDialog();

    window.QueueFileAnswer(path);
    InputMessage click;
    click.message = kWmLButtonUp;
    click.focusId = bits == 1 ? IDC_BMP_1BIT : IDC_BMP_4BIT;
    if (!dlg->PreTranslateMessage(click)) window.Click(click.focusId);
    window.Destroy();
    dlg.reset();

    const std::string header = HeaderPathFor(path);
    if (listener.failed) return finish(listener.failure);
    if (!listener.previewDrawn || !fs::is_regular_file(header, ec)) {
        reporter.Error(-1, "no header file was written for " + bitmap);
        return finish(ExitCode::FileProblem);
    }
    reporter.Header(header);
    return finish(ExitCode::Completed);
}

}  // namespace orlo::cli
