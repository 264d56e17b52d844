#include "devsim/Rig.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

namespace orlo::devsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kFinish = 0x13;
constexpr uint8_t kApplicationWrite = 0x11;
constexpr uint32_t kBlock = 4096;
constexpr uint32_t kRefusals = 5;  // NAKs in a row that make the tool give up

// The longest countdown the tool waits through after the application's finish frame for an
// image of `blocks` blocks: n / 10 + 1 seconds with n = size / 2048 + 1.
std::chrono::milliseconds CountdownFor(uint64_t blocks) {
    const uint64_t n = blocks * kBlock / 2048 + 1;
    return std::chrono::milliseconds((n / 10 + 1) * 1000);
}

}  // namespace

// What the serving thread saw of the tool, read by Poll.
struct Activity {
    std::mutex mutex;
    Clock::time_point last{};
    uint64_t frames = 0;
    uint64_t applicationWrites = 0;
    uint8_t lastCode = 0;
};

struct Rig::Slot {
    std::string name;
    std::string link;
    std::unique_ptr<PtyDevice> device;
    std::shared_ptr<Activity> activity;
    unsigned number = 0;
    unsigned pullAfter = 0;  // frames after which the device is pulled (0: never)
    Clock::time_point emptySince{};
};

Rig::Rig(RigOptions options) : m_options(std::move(options)) {
    m_random.seed(m_options.seed ? m_options.seed
                                 : static_cast<uint32_t>(Clock::now().time_since_epoch().count()));
}

Rig::~Rig() {
    Stop();
}

bool Rig::Start(std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(m_options.dir, ec);
    if (!std::filesystem::is_directory(m_options.dir, ec)) {
        if (error) *error = "cannot make the slots folder " + m_options.dir;
        return false;
    }
    for (unsigned i = 1; i <= m_options.slots; ++i) {
        auto slot = std::make_unique<Slot>();
        char name[32];
        std::snprintf(name, sizeof name, "slot-%02u", i);
        slot->name = name;
        slot->link = (std::filesystem::path(m_options.dir) / name).string();
        struct stat st {};
        if (::lstat(slot->link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            if (error) *error = slot->link + " exists and is not a link; not replacing it";
            return false;
        }
        slot->emptySince = Clock::now() - m_options.gap;  // the first devices come at once
        m_slots.push_back(std::move(slot));
    }
    Poll();
    return true;
}

void Rig::Plug(Slot& slot) {
    DeviceOptions device;
    std::uniform_real_distribution<double> share(0.0, 1.0);
    const double draw = share(m_random);
    slot.pullAfter = 0;
    if (draw < m_options.failRate) {
        // A block refused until the tool gives up: frame 2 is the first write block.
        device.faults.nakFrame = std::uniform_int_distribution<uint32_t>(2, 3)(m_random);
        device.faults.nakCount = kRefusals;
        ++m_stats.failing;
    } else if (draw < m_options.failRate + m_options.pullRate) {
        slot.pullAfter = std::uniform_int_distribution<unsigned>(2, 4)(m_random);
    }
    auto activity = std::make_shared<Activity>();
    PtyOptions pty;
    pty.baud = m_options.baud;
    pty.linkPath = slot.link;
    pty.trace = [activity](Direction dir, const std::vector<uint8_t>& bytes) {
        if (dir != Direction::ToDevice || bytes.size() < 4) return;
        std::lock_guard<std::mutex> lock(activity->mutex);
        activity->last = Clock::now();
        ++activity->frames;
        activity->lastCode = bytes[3];
        if (bytes[3] == kApplicationWrite) ++activity->applicationWrites;
    };
    auto sim = std::make_unique<PtyDevice>(device, pty);
    std::string error;
    if (!sim->Start(&error)) {
        if (m_options.say) m_options.say(slot.name + ": cannot plug a device: " + error);
        slot.emptySince = Clock::now();
        return;
    }
    slot.device = std::move(sim);
    slot.activity = activity;
    slot.number = m_next++;
    ++m_stats.plugged;
    if (m_options.say)
        m_options.say(slot.name + ": device " + std::to_string(slot.number) + " plugged (" +
                      slot.device->SlavePath() + ")" +
                      (device.faults.nakFrame ? ", it will refuse a block" : "") +
                      (slot.pullAfter ? ", it will be pulled during its run" : ""));
}

void Rig::Unplug(Slot& slot, const char* why) {
    slot.device->Stop();  // the link goes first, then the line
    slot.device.reset();
    slot.activity.reset();
    slot.emptySince = Clock::now();
    if (m_options.say)
        m_options.say(slot.name + ": device " + std::to_string(slot.number) + " " + why);
}

void Rig::Poll() {
    const Clock::time_point now = Clock::now();
    for (auto& s : m_slots) {
        Slot& slot = *s;
        if (!slot.device) {
            const bool more = m_options.devices == 0 || m_next <= m_options.devices;
            if (more && now - slot.emptySince >= m_options.gap) Plug(slot);
            continue;
        }
        uint64_t frames, writes;
        uint8_t code;
        Clock::time_point last;
        {
            std::lock_guard<std::mutex> lock(slot.activity->mutex);
            frames = slot.activity->frames;
            writes = slot.activity->applicationWrites;
            code = slot.activity->lastCode;
            last = slot.activity->last;
        }
        if (slot.pullAfter && frames >= slot.pullAfter) {
            ++m_stats.pulled;
            Unplug(slot, "pulled out during its run");
            continue;
        }
        if (!slot.device->Serving()) {
            Unplug(slot, "hung up");
            continue;
        }
        // Programmed (or given up on): the tool has been quiet for a moment - after the
        // application's finish frame, for the countdown the tool waits through as well.
        auto quiet = m_options.linger;
        if (code == kFinish) quiet += CountdownFor(writes);
        if (frames > 0 && now - last >= quiet) {
            ++m_stats.programmed;
            Unplug(slot, "done, removed");
        }
    }
}

bool Rig::Finished() const {
    if (m_options.devices == 0 || m_next <= m_options.devices) return false;
    for (const auto& s : m_slots)
        if (s->device) return false;
    return true;
}

void Rig::Stop() {
    for (auto& s : m_slots)
        if (s->device) {
            s->device->Stop();
            s->device.reset();
        }
}

}  // namespace orlo::devsim
