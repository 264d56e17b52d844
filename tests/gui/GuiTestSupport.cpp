#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

namespace orlo::gui::test {

namespace {

// The offscreen platform says for every window what it cannot do; that is no news in a test.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QStringLiteral("This plugin does not support"))) return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// The one QApplication of the test program, made before the first test and kept to the end.
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(QuietMessages);
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { m_app.reset(); }

  private:
    int m_argc = 1;
    char m_name[9] = "test_gui";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

struct HangGuard::State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::thread watcher;
};

HangGuard::HangGuard(std::chrono::milliseconds limit, std::string what)
    : m_state(std::make_shared<State>()) {
    m_state->watcher = std::thread([state = m_state, limit, what = std::move(what)] {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (!state->cv.wait_for(lock, limit, [&] { return state->done; })) {
            std::fprintf(stderr, "HANG: %s did not return\n", what.c_str());
            std::abort();
        }
    });
}

HangGuard::~HangGuard() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->done = true;
    }
    m_state->cv.notify_all();
    m_state->watcher.join();
}

Prompts RecordingPrompts::Make() {
    Prompts prompts;
    prompts.messageBox = [this](const std::string& text, const std::string& caption,
                                unsigned type) {
        boxes.push_back({text, caption, type});
        if (whileBoxOpen) whileBoxOpen(boxes.back());
        if ((type & MB_TYPEMASK) != MB_YESNO) return IDOK;
        if (replies.empty()) return IDNO;
        const int reply = replies.front();
        replies.erase(replies.begin());
        return reply;
    };
    prompts.fileDialog = [this](const FileDialogRequest& request) {
        fileDialogs.push_back(request);
        FileDialogResult result;
        if (answers.empty()) return result;
        const std::string path = answers.front();
        answers.erase(answers.begin());
        result.ok = true;
        result.fullPath = path;
        result.fileName = std::filesystem::path(path).filename().string();
        return result;
    };
    prompts.aboutBox = [this] { ++aboutBoxes; };
    return prompts;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orlo-gui-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string TempDir::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string path = Path(name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace orlo::gui::test
