#include "station/BundleRun.h"

#include <algorithm>
#include <filesystem>

#include "SystemPorts.h"
#include "app/Resource.h"
#include "record/Manifest.h"
#include "run/Boxes.h"
#include "run/Run.h"
#include "run/WireWatch.h"
#include "window/WindowBase.h"

namespace orlo::station {

namespace {

constexpr std::size_t kLogEntriesKept = 64;  // device lines kept in the log list, at least

// The window a slot's dialog runs on: it shows nothing. Boxes are taken by the run's own
// window before they reach this one; file dialogs are answered by the run.
class SlotWindow : public WindowBase {
  public:
    explicit SlotWindow(EventLoop& loop) : WindowBase(loop) {}
    int MessageBox(const std::string&, const std::string&, unsigned) override { return IDOK; }
    void ThreadMessageBox(const std::string&, const std::string&, unsigned) override {}
    FileDialogResult DoFileDialog(const FileDialogRequest&) override { return {}; }
    void ShowAboutBox() override {}
    int ListAddString(int id, const std::string& text) override {
        // A device that talks for hours must not fill the memory: old lines go in batches.
        if (id == IDC_LIST_LOG) {
            auto& items = Mutable(id).items;
            if (items.size() >= 2 * kLogEntriesKept) {
                items.erase(items.begin(), items.end() - static_cast<long>(kLogEntriesKept));
                Mutable(id).curSel = -1;
            }
        }
        return WindowBase::ListAddString(id, text);
    }
};

// The one port a slot's run uses, as its port list shows it. The system's table would be read
// (every tty of the line, through udev) for every device that comes.
class SlotPortTable : public IPortTable {
  public:
    explicit SlotPortTable(PortInfo port) : m_port(std::move(port)) {}
    bool Open() override { return true; }
    std::vector<PortInfo> Enumerate() override { return {m_port}; }
    std::string Resolve(const std::string& comName) override {
        return comName == m_port.comName ? m_port.devicePath : std::string();
    }

  private:
    PortInfo m_port;
};

// A device path gets the first of the names the port list gives paths a user named; a COM
// name (Windows) is its own.
constexpr const char* kSlotComName = "COM80";

class BundleRun : public IDeviceRun, private run::RunObserver {
  public:
    BundleRun(EventLoop& loop, const record::Bundle& bundle, const std::vector<uint64_t>& sizes,
              const SlotDevice& device, BundleRunOptions options)
        : m_bundle(bundle), m_sizes(sizes), m_window(loop) {
        for (uint64_t size : m_sizes) m_totalBytes += std::max<uint64_t>(size, 1);
        const NamedPort named = NamePortArgument(device.path);
        PortInfo port;
        port.valueName = named.path;
        port.comName = !named.path.empty() && named.path.front() == '/' ? kSlotComName : named.path;
        port.devicePath = named.path;
        port.deviceKey = named.deviceKey;
        port.description = "slot " + device.path;
        port.vendorId = device.vendorId;
        port.productId = device.productId;
        port.serialNumber = device.serialNumber;
        const std::string comName = port.comName;
        m_table = std::make_unique<SlotPortTable>(std::move(port));
        m_watch = std::make_shared<run::WireWatch>();
        m_backend =
            std::make_unique<run::WatchedBackend>(MakeSerialBackend(*m_table), m_watch);
        run::RunSetup setup;
        setup.window = &m_window;
        setup.serial = m_backend.get();
        setup.ports = m_table.get();
        setup.comName = comName;
        setup.path = named.path;
        run::RunPolicy policy;
        policy.timeout = options.timeout;
        m_run = std::make_unique<run::Run>(setup, policy);
        m_run->AddObserver(this);
        std::vector<run::RunStep> steps;
        m_verify = options.verify;
        for (std::size_t i = 0; i < m_bundle.images.size(); ++i) {
            const record::BundleImage& image = m_bundle.images[i];
            run::RunStep step;
            step.kind = m_verify ? run::StepKind::Verify : run::StepKind::Program;
            step.region = image.region;
            step.path = image.path;
            if (m_verify && i < options.images.size()) step.image = options.images[i];
            steps.push_back(step);
        }
        m_run->Start(steps);
        Poll();
    }
    ~BundleRun() override {
        // The window goes first: a reader still delivering bytes then returns at once.
        m_window.Destroy();
        m_run.reset();
    }

    void Poll() override {
        if (m_done) return;
        m_run->Poll();
        if (m_run->Finished()) End(false, {}, false);
    }
    Clock::duration TimeToNextPoll() const override {
        return m_done ? Clock::duration::max() : m_run->TimeToNextPoll();
    }
    bool Finished() const override { return m_done; }
    RunProgress Progress() const override { return m_progress; }

    void Abandon(const std::string& why, bool byOperator) override {
        if (m_done) return;
        m_run->Interrupt();
        // An operator who gives up during the application's countdown loses nothing: every
        // block was written and verified. A device pulled out is failed whatever its phase.
        End(!byOperator, why, byOperator);
    }
    RunResult Result() const override { return m_result; }

  private:
    void OnStep(std::size_t index, const run::RunStep&) override {
        m_step = index;
        Update({});
    }
    void OnProgress(const run::RunProgress& progress) override {
        // The run's own figures cover every step of the bundle.
        if (progress.hasData && progress.overallTotal > 0) {
            m_progress.fraction =
                std::min(1.0, double(progress.overallDone) / double(progress.overallTotal));
            m_progress.text = progress.region + ": " + progress.status;
            return;
        }
        Update(progress.region + ": " + progress.status);
    }

    // Between the blocks of the steps: the regions done so far of the bundle.
    void Update(const std::string& text) {
        uint64_t before = 0;
        for (std::size_t i = 0; i < m_step && i < m_sizes.size(); ++i)
            before += std::max<uint64_t>(m_sizes[i], 1);
        // Never back: a phase without blocks (the countdown) keeps what the blocks reached.
        m_progress.fraction =
            std::max(m_progress.fraction, std::min(1.0, double(before) / double(m_totalBytes)));
        if (!text.empty()) m_progress.text = text;
    }

    // The run has ended (or is made to): its outcome, region by region. `forceFail`: the
    // device went away, so nothing of an unfinished region counts.
    void End(bool forceFail, const std::string& why, bool byOperator) {
        m_run->Close();
        m_done = true;
        const run::Outcome outcome = m_run->Result();
        const std::vector<run::Outcome>& steps = m_run->StepResults();
        // A comparison goes on to the next region after one that differs: every step counts.
        const bool completed =
            outcome.code == run::ExitCode::Completed && !forceFail &&
            steps.size() == m_bundle.images.size() &&
            std::all_of(steps.begin(), steps.end(), [](const run::Outcome& s) {
                return s.code == run::ExitCode::Completed;
            });
        for (std::size_t i = 0; i < steps.size() && i < m_bundle.images.size(); ++i) {
            const run::Outcome& s = steps[i];
            bool passed = s.code == run::ExitCode::Completed;
            // A region compared equal stays passed when an earlier one differed.
            if (i + 1 == steps.size() && !completed && (!m_verify || forceFail)) passed = false;
            std::string message = !s.message.empty() ? s.message : s.detail;
            if (!s.message.empty() && !s.detail.empty()) message += " (" + s.detail + ")";
            if (!passed && !why.empty()) message = why;
            m_result.regions.push_back(
                {std::string(Region(m_bundle.images[i].region).word), passed, message});
        }
        if (!completed && steps.size() < m_bundle.images.size() && !m_result.regions.empty() &&
            m_result.regions.back().passed) {
            // Stopped between two regions: the one that was next failed.
            m_result.regions.push_back(
                {std::string(Region(m_bundle.images[steps.size()].region).word), false,
                 why});
        }
        m_result.passed = completed;
        m_result.abandoned = byOperator && !completed;
        if (!completed) {
            m_result.reason = !why.empty() ? why
                              : !outcome.message.empty() ? outcome.message
                              : !outcome.detail.empty() ? outcome.detail
                                                        : std::string(run::ExitName(outcome.code));
            m_result.message = m_result.reason;
            if (why.empty() && !outcome.message.empty() && !outcome.detail.empty())
                m_result.message += " (" + outcome.detail + ")";
            if (!m_result.regions.empty())
                m_result.message = m_result.regions.back().region + ": " + m_result.message;
            // A comparison that found differences is said by its first differing region.
            for (std::size_t i = 0; m_verify && why.empty() && i < steps.size(); ++i) {
                if (steps[i].code == run::ExitCode::Completed || !steps[i].verify) continue;
                m_result.reason = steps[i].detail;
                m_result.message = steps[i].verify->region + ": " + steps[i].detail;
                break;
            }
        } else {
            m_result.message = m_verify ? "Verify completed" : "Programming completed";
            m_progress.fraction = 1;
        }
        m_result.naks = static_cast<unsigned>(m_watch->Refusals().size());
        // A NAK is answered by a resend unless it was the last word of a failed run.
        m_result.resends = m_result.naks - (!completed && m_result.naks > 0 ? 1 : 0);
    }

    const record::Bundle& m_bundle;
    const std::vector<uint64_t>& m_sizes;
    SlotWindow m_window;
    std::unique_ptr<IPortTable> m_table;
    std::shared_ptr<run::WireWatch> m_watch;
    std::unique_ptr<ISerialBackend> m_backend;
    std::unique_ptr<run::Run> m_run;
    uint64_t m_totalBytes = 0;
    std::size_t m_step = 0;
    RunProgress m_progress;
    RunResult m_result;
    bool m_done = false;
    bool m_verify = false;
};

}  // namespace

RunFactory BundleRuns(EventLoop& loop, const record::Bundle& bundle,
                      const std::vector<uint64_t>& sizes, BundleRunOptions options) {
    return [&loop, &bundle, &sizes, options](const std::string&, const SlotDevice& device,
                                             std::string*) -> std::unique_ptr<IDeviceRun> {
        return std::make_unique<BundleRun>(loop, bundle, sizes, device, options);
    };
}

bool LoadStationImages(const std::vector<std::string>& pairs, const std::string& manifest,
                       StationImages* images, std::string* error) {
    namespace fs = std::filesystem;
    if (!manifest.empty()) {
        if (!pairs.empty()) {
            *error = "give the images either as REGION FILE pairs or with --manifest, not both";
            return false;
        }
        record::ManifestLoad load = record::LoadManifest(manifest);
        if (!load.bundle) {
            *error = load.error;
            return false;
        }
        images->bundle = std::move(*load.bundle);
    } else {
        std::optional<record::Bundle> bundle = record::BundleFromPairs(pairs, error);
        if (!bundle) return false;
        images->bundle = std::move(*bundle);
    }
    for (record::BundleImage& image : images->bundle.images) {
        std::error_code ec;
        const auto status = fs::status(image.path, ec);
        if (!fs::is_regular_file(status)) {
            *error = "cannot read " + image.path + ": " +
                     (fs::exists(status) ? "it is not a regular file" : "no such file");
            return false;
        }
        const uint64_t size = fs::file_size(image.path, ec);
        const FlashRegion& region = Region(image.region);
        if (size == 0) {
            *error = "cannot program " + image.path + ": the file is empty";
            return false;
        }
        if (size > region.maxSize) {
            *error = std::string(region.tooBig) + " (" + image.path + ": " +
                     run::TooBigContext(size, region.maxSize) + ")";
            return false;
        }
        image.path = fs::absolute(image.path, ec).lexically_normal().string();
        images->sizes.push_back(size);
    }
    *error = record::HashImages(images->bundle);
    return error->empty();
}

}  // namespace orlo::station
