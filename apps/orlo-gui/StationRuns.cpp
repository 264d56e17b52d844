#include "StationRuns.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "SystemPorts.h"
#include "app/Resource.h"
#include "run/Run.h"
#include "run/WireWatch.h"
#include "window/EventLoop.h"
#include "window/WindowBase.h"

namespace orlo::gui {

namespace {

// The window of a station's device: the dialog runs on it as on any window, and nothing of it
// reaches the screen; the run hears every box on its way here.
class QuietWindow : public WindowBase {
  public:
    explicit QuietWindow(EventLoop& loop) : WindowBase(loop) {}
    int MessageBox(const std::string&, const std::string&, unsigned) override { return IDOK; }
    void ThreadMessageBox(const std::string&, const std::string&, unsigned) override {}
    FileDialogResult DoFileDialog(const FileDialogRequest&) override { return {}; }
    void ShowAboutBox() override {}
};

uint64_t SizeOf(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

// One device: every image of the bundle in flash order, on one connection.
class BundleRun : public station::IDeviceRun, private run::RunObserver {
  public:
    BundleRun(EventLoop& loop, const record::Bundle& bundle, const station::SlotDevice& device,
              std::chrono::milliseconds timeout)
        : m_bundle(bundle), m_window(loop) {
        const NamedPort named = NamePortArgument(device.path);
        m_ports = MakeSystemPortTable({named.path});
        // The watch counts the device's refusals for the record.
        m_serial = std::make_unique<run::WatchedBackend>(MakeSerialBackend(*m_ports), m_watch);
        run::RunSetup setup;
        setup.window = &m_window;
        setup.serial = m_serial.get();
        setup.ports = m_ports.get();
        for (const PortInfo& port : m_ports->Enumerate()) {
            if (port.devicePath != named.path) continue;
            setup.comName = port.comName;
            setup.path = port.devicePath;
        }
        if (!device.node.empty()) setup.path = device.node;
        for (const record::BundleImage& image : m_bundle.images) {
            m_sizes.push_back(std::max<uint64_t>(SizeOf(image.path), 1));
            m_total += m_sizes.back();
        }
        const bool found = !setup.comName.empty();
        m_run = std::make_unique<run::Run>(std::move(setup));
        m_run->AddObserver(this);
        run::RunPolicy policy;
        policy.timeout = timeout;
        m_run->SetPolicy(policy);
        if (!found) {
            End("the port cannot be found", "the slot's port cannot be found: " + device.path);
            return;
        }
        std::vector<run::RunStep> steps;
        for (const record::BundleImage& image : m_bundle.images) {
            run::RunStep step;
            step.kind = run::StepKind::Program;
            step.region = image.region;
            step.path = image.path;
            steps.push_back(step);
        }
        m_run->Start(std::move(steps));
        Poll();
    }
    ~BundleRun() override {
        if (m_run) {
            m_run->Close();
            m_run.reset();
        }
    }

    void Poll() override {
        if (m_done) return;
        m_run->Poll();
        if (!m_run->Finished()) return;
        m_run->Close();
        Conclude();
    }
    station::Clock::duration TimeToNextPoll() const override {
        return m_done ? station::Clock::duration::max() : m_run->TimeToNextPoll();
    }
    bool Finished() const override { return m_done; }
    station::RunProgress Progress() const override {
        station::RunProgress p = m_progress;
        // The last reply has come; the run makes sure nothing follows it.
        if (!m_done && m_run->State() == run::RunState::Confirming) {
            const std::size_t colon = p.text.find(':');
            p.text = (colon == std::string::npos ? std::string() : p.text.substr(0, colon + 2)) +
                     "confirming";
        }
        return p;
    }

    void Abandon(const std::string& why, bool byOperator) override {
        if (m_done) return;
        m_run->Interrupt();
        m_run->Close();
        Conclude();
        // Given up in the application's countdown, every block was written and verified.
        if (byOperator && m_result.passed) return;
        m_result.passed = false;
        m_result.abandoned = byOperator;
        m_result.reason = why;
        m_result.message = why;
    }
    station::RunResult Result() const override { return m_result; }

  private:
    void OnProgress(const run::RunProgress& p) override {
        // Steps before the current one are whole; the current one counts writes and verifies.
        const std::size_t step = std::min(m_run->StepResults().size(), m_sizes.size() - 1);
        uint64_t before = 0;
        for (std::size_t i = 0; i < step; ++i) before += m_sizes[i];
        const double within =
            p.overallTotal > 0 ? static_cast<double>(p.overallDone) / p.overallTotal : 0;
        m_progress.fraction =
            std::min(1.0, (before + within * static_cast<double>(m_sizes[step])) / m_total);
        // The tile's large figure is the whole run's; its line says the phase only.
        std::string phase = p.hasData ? p.phase : p.status;
        if (!phase.empty()) phase[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(phase[0])));
        m_progress.text = p.region + ": " + (phase.empty() ? "starting" : phase);
    }

    void End(const std::string& reason, const std::string& message) {
        m_done = true;
        m_result.passed = false;
        m_result.reason = reason;
        m_result.message = message;
    }

    // The outcome of every step, once the run has closed.
    void Conclude() {
        m_done = true;
        const std::vector<run::Outcome>& steps = m_run->StepResults();
        m_result.regions.clear();
        bool passed = !steps.empty() && steps.size() == m_bundle.images.size();
        for (std::size_t i = 0; i < steps.size() && i < m_bundle.images.size(); ++i) {
            const bool ok = steps[i].code == run::ExitCode::Completed;
            passed = passed && ok;
            const std::string& said = !steps[i].message.empty() ? steps[i].message : steps[i].detail;
            m_result.regions.push_back(
                {std::string(record::RegionWord(m_bundle.images[i].region)), ok, said});
        }
        const run::Outcome& last = m_run->Result();
        m_result.passed = passed;
        // A NAK is answered by a resend, unless it was the last word of a failed run.
        m_result.naks = static_cast<unsigned>(m_watch->Refusals().size());
        m_result.resends = m_result.naks - (!passed && m_result.naks > 0 ? 1 : 0);
        if (passed) {
            m_progress.fraction = 1;
            m_result.message = "Programming completed";
            return;
        }
        std::string reason = !last.message.empty() ? last.message : last.detail;
        if (reason.empty()) reason = "failed";
        m_result.reason = reason;
        m_result.message = (m_result.regions.empty() ? std::string()
                                                     : m_result.regions.back().region + ": ") +
                           reason;
        if (!last.message.empty() && !last.detail.empty())
            m_result.message += " (" + last.detail + ")";
    }

    const record::Bundle& m_bundle;
    QuietWindow m_window;
    std::unique_ptr<IPortTable> m_ports;
    std::shared_ptr<run::WireWatch> m_watch = std::make_shared<run::WireWatch>();
    std::unique_ptr<ISerialBackend> m_serial;
    std::unique_ptr<run::Run> m_run;
    std::vector<uint64_t> m_sizes;
    uint64_t m_total = 0;
    station::RunProgress m_progress;
    station::RunResult m_result;
    bool m_done = false;
};

}  // namespace

bool CheckBundleSizes(const record::Bundle& bundle, std::string* error) {
    for (const record::BundleImage& image : bundle.images) {
        const FlashRegion& region = Region(image.region);
        const uint64_t size = SizeOf(image.path);
        if (size == 0) {
            *error = "cannot program " + image.path + ": the file is empty or cannot be read";
            return false;
        }
        if (size > region.maxSize) {
            *error = std::string(region.tooBig) + " (" + image.path + ": " +
                     run::TooBigContext(size, region.maxSize) + ")";
            return false;
        }
    }
    return true;
}

station::RunFactory MakeStationRuns(EventLoop& loop, const record::Bundle& bundle,
                                    std::chrono::milliseconds timeout) {
    // The bundle is the station's, copied into the factory: it outlives every run.
    auto kept = std::make_shared<record::Bundle>(bundle);
    return [&loop, kept, timeout](const std::string&, const station::SlotDevice& device,
                                  std::string*) -> std::unique_ptr<station::IDeviceRun> {
        return std::make_unique<BundleRun>(loop, *kept, device, timeout);
    };
}

}  // namespace orlo::gui
