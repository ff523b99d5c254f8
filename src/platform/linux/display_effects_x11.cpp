#include "platform/linux/display_effects_x11.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/bounded_json.h"
#include "core/paths.h"
#include "devices/private_file.h"

namespace morvane {

namespace {

// A record of a few displays is a few hundred bytes; anything much larger
// is not ours.
constexpr std::size_t maxRecordBytes = 64 * 1024;
constexpr std::int64_t retryMillis = 3000;
constexpr std::int64_t pollMillis = 250;
constexpr std::int64_t coverDeadlineMillis = 4000;
constexpr std::int64_t reconfigurationDelayMillis = 200;
constexpr std::int64_t systemWatchMillis = 1000;

std::string size(const DisplayModeInfo& m) { return std::to_string(m.width) + "x" + std::to_string(m.height); }

bool inMirrorSet(const ReconfigClassifier::Topology& t, std::uint32_t display) {
    if (t.mirrors.contains(display)) return true;
    return std::any_of(t.mirrors.begin(), t.mirrors.end(), [display](const auto& m) { return m.second == display; });
}

}  // namespace

std::shared_ptr<SystemDisplayEffects> SystemDisplayEffects::create(DisplayEffectsSetup setup) {
    std::shared_ptr<SystemDisplayEffects> driver(new SystemDisplayEffects(std::move(setup)));
    std::weak_ptr<SystemDisplayEffects> weak = driver;
    driver->s_.backend->setOnReconfigured([weak] {
        if (auto d = weak.lock()) d->scheduleReconfigurationCheck();
    });
    return driver;
}

SystemDisplayEffects::SystemDisplayEffects(DisplayEffectsSetup setup) : s_(std::move(setup)) {
    if (!s_.uptime) s_.uptime = [] { return 0.0; };
    if (!s_.bootId) s_.bootId = [] { return std::string(); };
    topology_ = s_.backend->topology();
}

SystemDisplayEffects::~SystemDisplayEffects() {
    s_.backend->setOnReconfigured(nullptr);
    if (s_.keys) s_.keys->stop();
    if (s_.leaseTimer) s_.leaseTimer->stop();
}

void SystemDisplayEffects::report(DisplayEffectsEvent event) {
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    s_.main->post([weak, event] {
        auto d = weak.lock();
        if (d && d->onEvent_) d->onEvent_(event);
    });
}

bool SystemDisplayEffects::online(std::uint32_t display) { return s_.backend->topology().online.contains(display); }

std::optional<std::int32_t> SystemDisplayEffects::currentID(std::uint32_t display) {
    if (auto m = s_.backend->currentMode(display)) return m->id;
    return std::nullopt;
}

OwedMode::Decision SystemDisplayEffects::decide(std::uint32_t display, std::int32_t applied) {
    const bool on = online(display);
    return OwedMode::decide(on, on ? currentID(display) : std::nullopt, applied);
}

std::optional<DisplayEffects::Modes> SystemDisplayEffects::modes(std::uint32_t display) {
    const auto t = s_.backend->topology();
    if (!t.online.contains(display) || inMirrorSet(t, display)) return std::nullopt;
    auto all = s_.backend->allModes(display);
    if (!all) return std::nullopt;
    auto current = s_.backend->currentMode(display);
    if (!current) return std::nullopt;
    return Modes{std::move(*all), *current};
}

int SystemDisplayEffects::otherActiveDisplays(std::uint32_t /*than*/) {
    const auto count = static_cast<int>(s_.backend->topology().online.size());
    return std::max(count - 1, 0);
}

bool SystemDisplayEffects::restoreOwed() const {
    return std::any_of(changed_.begin(), changed_.end(), [](const auto& e) { return e.second.owed; });
}

bool SystemDisplayEffects::setMode(std::int32_t modeID, std::uint32_t display, std::int64_t epoch) {
    if (epoch < minEpoch_) {
        log("resolution not changed: the session that asked has ended");
        return false;
    }
    const auto t = s_.backend->topology();
    if (!t.online.contains(display) || inMirrorSet(t, display)) return false;
    const auto all = s_.backend->allModes(display);
    if (!all || all->empty()) return false;
    const auto listed = std::find_if(all->begin(), all->end(), [modeID](const auto& m) { return m.id == modeID; });
    if (listed == all->end()) return false;
    const DisplayModeInfo mode = *listed;
    const auto current = s_.backend->currentMode(display);
    if (!current) return false;

    std::optional<Changed> previous;
    if (auto it = changed_.find(display); it != changed_.end()) {
        if (current->id != it->second.appliedID) {
            log("resolution not changed: it was changed on the computer");
            return false;
        }
        previous = it->second;
        it->second = Changed{previous->original, previous->originalID, modeID, false};
    } else {
        changed_[display] = Changed{*current, current->id, modeID, false};
    }
    auto rollBack = [&] {
        if (previous)
            changed_[display] = *previous;
        else
            changed_.erase(display);
        writeMarker();
    };

    // The display is never changed without a record on disk.
    if (!writeMarker()) {
        rollBack();
        log("resolution not changed: the record needed to put it back could not be saved");
        updateLease();
        return false;
    }
    if (!s_.backend->apply(display, mode)) {
        rollBack();
        log("resolution not changed: the system refused " + size(mode));
        updateLease();
        return false;
    }
    log("resolution of display " + s_.backend->name(display) + " changed to " + size(mode) + " pt for the controller");
    updateLease();
    return true;
}

bool SystemDisplayEffects::restoreMode(std::uint32_t display) {
    auto it = changed_.find(display);
    if (it == changed_.end()) return true;
    const bool on = online(display);
    const auto current = on ? currentID(display) : std::nullopt;
    const auto decision = OwedMode::decide(on, current, it->second.appliedID);
    const std::string name = s_.backend->name(display);
    if (decision == OwedMode::Decision::forget) {
        drop(display, current == it->second.originalID ? "is already back to normal"
                                                       : "was changed on the computer: left as it is");
        return true;
    }
    if (!on) {
        if (!it->second.owed)
            log("resolution of display " + name + " could not be put back now; it will be when the display is back");
        it->second.owed = true;
        updateLease();
        return false;
    }
    std::optional<DisplayModeInfo> target;
    if (auto all = s_.backend->allModes(display)) {
        const auto id = it->second.originalID;
        const auto listed = std::find_if(all->begin(), all->end(), [id](const auto& m) { return m.id == id; });
        if (listed != all->end()) target = *listed;
    }
    if (!target) target = it->second.original;
    if (target && s_.backend->apply(display, *target)) {
        changed_.erase(it);
        writeMarker();
        log("resolution of display " + name + " put back to " + size(*target) + " pt");
        updateLease();
        return true;
    }
    if (!it->second.owed)
        log("resolution of display " + name +
            " could not be put back now (the system refused); trying again every few seconds");
    it->second.owed = true;
    updateLease();
    return false;
}

void SystemDisplayEffects::drop(std::uint32_t display, const std::string& reason) {
    if (!changed_.erase(display)) return;
    writeMarker();
    log("resolution of display " + s_.backend->name(display) + " " + reason);
    updateLease();
}

void SystemDisplayEffects::forgetMode(std::uint32_t display) {
    auto it = changed_.find(display);
    if (it == changed_.end()) return;
    if (decide(display, it->second.appliedID) == OwedMode::Decision::restore) {
        log("resolution of display " + s_.backend->name(display) +
            ": Morvane's change came after one made on the computer; putting it back");
        restoreMode(display);
        return;
    }
    drop(display, "was changed on the computer: left as it is");
}

void SystemDisplayEffects::settleOwed() {
    std::vector<std::uint32_t> owed;
    // A display that is away keeps what it owes: only the connected ones are
    // asked about, and the X server is asked once which those are.
    const auto connected = s_.backend->topology().online;
    for (const auto& [display, entry] : changed_)
        if (entry.owed && connected.contains(display)) owed.push_back(display);
    for (const auto display : owed) {
        auto it = changed_.find(display);
        if (it == changed_.end()) continue;
        switch (decide(display, it->second.appliedID)) {
            case OwedMode::Decision::keep:
                break;
            case OwedMode::Decision::restore:
                restoreMode(display);
                break;
            case OwedMode::Decision::forget:
                drop(display, "was changed on the computer: left as it is");
                break;
        }
    }
}

void SystemDisplayEffects::restoreAll(std::int64_t epoch) {
    if (cover_) log("the screen is shown again");
    closeCover();
    disarmEscape();
    std::vector<std::uint32_t> inForce;
    for (const auto& [display, entry] : changed_)
        if (!entry.owed) inForce.push_back(display);
    for (const auto display : inForce) restoreMode(display);
    settleOwed();
    minEpoch_ = std::max(minEpoch_, epoch);
    updateLease();
}

bool SystemDisplayEffects::writeMarker() {
    std::error_code ec;
    if (changed_.empty()) {
        // Only a record of ours goes: what is no regular file is not one.
        const auto kind = private_file::kindAt(AT_FDCWD, s_.markerPath.string());
        if (kind == private_file::FileKind::regular || kind == private_file::FileKind::absent)
            std::filesystem::remove(s_.markerPath, ec);
        return true;
    }
    nlohmann::json record = {{"boot", s_.bootId()}, {"changed", nlohmann::json::array()}};
    for (const auto& [display, entry] : changed_)
        record["changed"].push_back({{"display", display}, {"original", entry.originalID}, {"applied", entry.appliedID}});
    const std::string text = record.dump();
    // A record the next launch would drop unread undoes nothing.
    if (text.size() > maxRecordBytes) {
        log("the record of the resolution change could not be saved: it would be larger than " +
            std::to_string(maxRecordBytes) + " bytes");
        return false;
    }
    const auto folder = s_.markerPath.parent_path();
    createFolders(folder);
    const auto result = private_file::replace(folder, s_.markerPath.filename().string(),
                                              std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (result.kind == private_file::WriteResult::Kind::notRegular) {
        log("the record of the resolution change could not be saved: " + s_.markerPath.filename().string() + " " +
            private_file::notRegularWords(private_file::kindAt(AT_FDCWD, s_.markerPath.string())) +
            "; it is left as it is");
        return false;
    }
    if (result.kind != private_file::WriteResult::Kind::ok) {
        log("the record of the resolution change could not be saved: " +
            std::string(result.error ? std::strerror(result.error) : "the folder could not be opened"));
        return false;
    }
    return true;
}

void SystemDisplayEffects::recoverAtLaunch() {
    const auto read = private_file::read(AT_FDCWD, s_.markerPath.string(), maxRecordBytes, false);
    const std::string recordName = s_.markerPath.filename().string();
    // A record that cannot be used is not one of ours: it goes, so it can
    // never be acted on later, and the owner reads once why.
    const auto dropped = [&](const std::string& why) {
        log(recordName + " could not be used (" + why + "); it was removed");
    };
    if (read.kind == private_file::ReadResult::Kind::notRegular) {
        // A FIFO, a socket or a device node (or a folder) is some program's
        // or the owner's, never a record of ours: left where it is.
        log(recordName + " " + private_file::notRegularWords(read.found) +
            "; it is left as it is, and no resolution change is undone from it");
        return;
    }
    if (read.kind != private_file::ReadResult::Kind::ok) {
        if (read.kind == private_file::ReadResult::Kind::tooLarge) {
            std::error_code ec;
            std::filesystem::remove(s_.markerPath, ec);
            dropped("larger than " + std::to_string(maxRecordBytes) + " bytes");
        }
        return;
    }
    std::error_code ec;
    std::filesystem::remove(s_.markerPath, ec);

    const auto parsed = BoundedJson::parse(read.data, BoundedJson::storedFileDepth);
    if (const auto* problem = std::get_if<BoundedJson::Problem>(&parsed))
        return dropped(BoundedJson::describe(*problem, BoundedJson::storedFileDepth));
    const auto& record = std::get<nlohmann::json>(parsed);
    const std::string notARecord = "not a record of resolution changes";
    if (!record.is_object()) return dropped(notARecord);
    const auto boot = record.find("boot");
    const auto list = record.find("changed");
    if (boot == record.end() || !boot->is_string()) return dropped(notARecord);
    if (list == record.end() || !list->is_array()) return dropped(notARecord);
    if (!std::all_of(list->begin(), list->end(), [](const auto& e) { return e.is_object(); }))
        return dropped(notARecord);

    const std::string thisBoot = s_.bootId();
    if (boot->get<std::string>().empty() || boot->get<std::string>() != thisBoot) {
        log("a resolution change from before the last restart needs no undoing");
        return;
    }
    auto int32Field = [](const nlohmann::json& e, const char* key) -> std::optional<std::int32_t> {
        const auto it = e.find(key);
        if (it == e.end() || !it->is_number_integer()) return std::nullopt;
        if (it->is_number_unsigned()) {
            const auto v = it->get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
            return static_cast<std::int32_t>(v);
        }
        const auto v = it->get<std::int64_t>();
        if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
        return static_cast<std::int32_t>(v);
    };
    // Asked once: a record naming many displays must not cost the launch a
    // round of questions to the X server for each.
    const auto connected = s_.backend->topology().online;
    std::size_t away = 0;
    for (const auto& element : *list) {
        const auto d = element.find("display");
        if (d == element.end() || !d->is_number_integer()) continue;
        if (!d->is_number_unsigned() && d->get<std::int64_t>() < 0) continue;
        const auto displayValue = d->get<std::uint64_t>();
        if (displayValue > std::numeric_limits<std::uint32_t>::max()) continue;
        const auto original = int32Field(element, "original");
        const auto applied = int32Field(element, "applied");
        if (!original || !applied) continue;
        const auto display = static_cast<std::uint32_t>(displayValue);
        if (!connected.contains(display)) {
            // Its modes are not listed while it is away; they are looked up
            // when it is back.
            if (changed_.insert_or_assign(display, Changed{std::nullopt, *original, *applied, true}).second) ++away;
            continue;
        }
        const std::string name = s_.backend->name(display);
        if (decide(display, *applied) == OwedMode::Decision::forget) {
            log("display " + name + ": the resolution Morvane had set is gone; nothing to undo");
            continue;
        }
        std::optional<DisplayModeInfo> mode;
        if (auto all = s_.backend->allModes(display)) {
            const auto listed =
                std::find_if(all->begin(), all->end(), [&](const auto& m) { return m.id == *original; });
            if (listed != all->end()) mode = *listed;
        }
        changed_[display] = Changed{mode, *original, *applied, true};
        log("display " + name + ": a resolution change is left from the last run");
    }
    // One line for them all: a display each would fill the log.
    if (away == 1)
        log("a resolution change is left from the last run on a display that is not connected; it is put back when "
            "the display is back");
    else if (away > 1)
        log("resolution changes are left from the last run on " + std::to_string(away) +
            " displays that are not connected; each is put back when its display is back");
    writeMarker();
    settleOwed();
    updateLease();
}

// --- timers and the watchdog ---------------------------------------------

void SystemDisplayEffects::updateLease() {
    updateRetry();
    updateWatchdog();
}

void SystemDisplayEffects::updateRetry() {
    bool needed = false;
    if (std::any_of(changed_.begin(), changed_.end(), [](const auto& e) { return e.second.owed; })) {
        const auto t = s_.backend->topology();
        for (const auto& [display, entry] : changed_)
            needed = needed || (entry.owed && t.online.contains(display));
    }
    if (needed == retryRunning_) return;
    retryRunning_ = needed;
    const auto generation = ++retryGeneration_;
    if (!needed) return;
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    s_.main->postAfter(retryMillis, [weak, generation] {
        if (auto d = weak.lock()) d->retry(generation);
    });
}

void SystemDisplayEffects::retry(std::uint64_t generation) {
    if (generation != retryGeneration_) return;
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    s_.main->postAfter(retryMillis, [weak, generation] {
        if (auto d = weak.lock()) d->retry(generation);
    });
    settleOwed();
}

void SystemDisplayEffects::updateWatchdog() {
    std::vector<ModeToRestore> inForce;
    for (const auto& [display, entry] : changed_)
        if (!entry.owed && entry.original) inForce.push_back({display, *entry.original});
    const bool needed = cover_ != nullptr ||
                        std::any_of(changed_.begin(), changed_.end(), [](const auto& e) { return !e.second.owed; });
    {
        std::lock_guard lock(leaseLock_);
        inForce_ = std::move(inForce);
    }
    if (needed == leaseRunning_) return;
    leaseRunning_ = needed;
    if (!needed) {
        if (s_.leaseTimer) s_.leaseTimer->stop();
        ++watchGeneration_;
        return;
    }
    {
        std::lock_guard lock(leaseLock_);
        lease_ = EffectsLease(s_.uptime());
    }
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    if (s_.leaseTimer) s_.leaseTimer->start([weak] {
        if (auto d = weak.lock()) d->leaseFired();
    });
    // The screens' power is watched alongside: blanking counts as going away.
    screensAwake_ = s_.backend->screensAwake();
    const auto generation = ++watchGeneration_;
    s_.main->postAfter(systemWatchMillis, [weak, generation] {
        if (auto d = weak.lock()) d->systemWatch(generation);
    });
}

// On the watchdog's thread.
void SystemDisplayEffects::leaseFired() {
    EffectsLease::Fire verdict;
    std::vector<ModeToRestore> inForce;
    {
        std::lock_guard lock(leaseLock_);
        verdict = lease_.fire(s_.uptime());
        if (verdict.expired) inForce = inForce_;
    }
    if (verdict.ping) {
        std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
        s_.main->post([weak] {
            if (auto d = weak.lock()) {
                std::lock_guard lock(d->leaseLock_);
                d->lease_.mainAnswered();
            }
        });
    }
    if (verdict.expired) {
        log("Morvane stopped responding while the display was changed: quitting so the display goes back to normal");
        if (s_.leaseExpired) s_.leaseExpired(inForce);
    }
}

void SystemDisplayEffects::keepAlive() {
    std::lock_guard lock(leaseLock_);
    lease_.serverAlive(s_.uptime());
}

void SystemDisplayEffects::systemWatch(std::uint64_t generation) {
    if (generation != watchGeneration_) return;
    const bool awake = s_.backend->screensAwake();
    if (screensAwake_ && !awake) report(fx_event::SystemAway{});
    screensAwake_ = awake;
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    s_.main->postAfter(systemWatchMillis, [weak, generation] {
        if (auto d = weak.lock()) d->systemWatch(generation);
    });
}

void SystemDisplayEffects::systemAway() { report(fx_event::SystemAway{}); }

// --- cover window ---------------------------------------------------------

void SystemDisplayEffects::cover(std::uint32_t display, const std::string& text, std::int64_t epoch,
                                 std::function<void(bool)> done) {
    closeCover();
    const auto generation = ++coverGeneration_;
    const auto frame = epoch < minEpoch_ || !excludeWindow ? std::nullopt : s_.backend->bounds(display);
    std::unique_ptr<CoverWindow> window = frame && s_.makeCover ? s_.makeCover(*frame, text) : nullptr;
    if (!window) {
        s_.main->post([done] { done(false); });
        return;
    }
    CoverWindow* raw = window.get();
    cover_ = std::move(window);
    coverDisplay_ = display;
    updateLease();

    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    auto answered = std::make_shared<bool>(false);
    auto answer = [weak, generation, raw, display, done, answered](bool ok) {
        if (*answered) return;
        *answered = true;
        auto d = weak.lock();
        if (!d || d->coverGeneration_ != generation || d->cover_.get() != raw) {
            done(false);
            return;
        }
        if (ok) {
            raw->makeOpaque();
            d->log("the screen of display " + d->s_.backend->name(display) + " is hidden from view");
            done(true);
        } else {
            d->closeCover();
            d->log("the screen was not hidden: the cover could not be left out of the picture");
            done(false);
        }
    };
    // The cover is never visible before the capture leaves it out.
    excludeWindow(static_cast<int>(raw->windowNumber()), answer);
    s_.main->postAfter(coverDeadlineMillis, [answer] { answer(false); });
}

void SystemDisplayEffects::closeCover() {
    ++coverGeneration_;
    if (!cover_) return;
    cover_.reset();
    if (excludeWindow) excludeWindow(std::nullopt, [](bool) {});
    updateLease();
}

void SystemDisplayEffects::uncover() {
    if (cover_) log("the screen is shown again");
    closeCover();
}

void SystemDisplayEffects::coverLost(const std::string& why) {
    if (!cover_) return;
    closeCover();
    log("the screen is shown again: " + why);
    report(fx_event::CoverLost{});
}

// --- Escape watch ---------------------------------------------------------

EscapeArm SystemDisplayEffects::armEscape(std::int64_t epoch) {
    if (epoch < minEpoch_) return EscapeArm::failed;
    if (watching_) return EscapeArm::armed;
    if (!s_.keys) return EscapeArm::noPermission;
    {
        std::lock_guard lock(holdLock_);
        hold_.reset();
    }
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    const auto armed = s_.keys->start([weak](bool down, bool isRepeat) {
        auto d = weak.lock();
        if (!d) return;
        const double now = d->s_.uptime();
        std::lock_guard lock(d->holdLock_);
        d->hold_.key(down, isRepeat, now);
    });
    if (armed != EscapeArm::armed) return armed;
    watching_ = true;
    const auto generation = ++pollGeneration_;
    s_.main->postAfter(pollMillis, [weak, generation] {
        if (auto d = weak.lock()) d->poll(generation);
    });
    return EscapeArm::armed;
}

void SystemDisplayEffects::disarmEscape() {
    ++pollGeneration_;
    if (!watching_) return;
    watching_ = false;
    s_.keys->stop();
    std::lock_guard lock(holdLock_);
    hold_.reset();
}

void SystemDisplayEffects::poll(std::uint64_t generation) {
    if (generation != pollGeneration_) return;
    bool fires = false;
    {
        const double now = s_.uptime();
        std::lock_guard lock(holdLock_);
        fires = hold_.fires(now);
    }
    if (fires) {
        log("Escape was held at the computer");
        report(fx_event::EscapeHeld{});
    }
    if (watching_ && !s_.keys->alive()) {
        disarmEscape();
        log("the watch on the Escape key stopped");
        report(fx_event::KeyWatchLost{});
        return;
    }
    // Whatever a program maps later lands above the cover: put it back on top.
    if (cover_ && !s_.backend->onTop(cover_->windowNumber())) cover_->raise();
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    s_.main->postAfter(pollMillis, [weak, generation] {
        if (auto d = weak.lock()) d->poll(generation);
    });
}

// --- display reconfiguration ----------------------------------------------

void SystemDisplayEffects::scheduleReconfigurationCheck() {
    std::weak_ptr<SystemDisplayEffects> weak = weak_from_this();
    s_.main->post([weak] {
        auto d = weak.lock();
        if (!d || d->reconfigurationScheduled_) return;
        d->reconfigurationScheduled_ = true;
        d->s_.main->postAfter(reconfigurationDelayMillis, [weak] {
            auto d = weak.lock();
            if (!d) return;
            d->reconfigurationScheduled_ = false;
            d->reconfigurationCheck();
        });
    });
}

void SystemDisplayEffects::reconfigurationCheck() {
    const auto before = topology_;
    const auto after = s_.backend->topology();
    topology_ = after;
    settleOwed();

    std::vector<ReconfigClassifier::Verdict> verdicts;
    bool anyInForce = false;
    for (const auto& [display, entry] : changed_) {
        if (entry.owed) continue;
        anyInForce = true;
        const auto current = after.online.contains(display) ? currentID(display) : std::nullopt;
        verdicts.push_back(ReconfigClassifier::classify(
            before, after, ReconfigClassifier::Matched{display, entry.appliedID, entry.originalID}, current));
    }
    if (!anyInForce) verdicts.push_back(ReconfigClassifier::classify(before, after, std::nullopt, std::nullopt));

    const bool reconfigured = std::any_of(verdicts.begin(), verdicts.end(), [](const auto& v) {
        return std::holds_alternative<ReconfigClassifier::verdict::Reconfigured>(v);
    });
    if (reconfigured) {
        report(fx_event::Reconfigured{});
    } else {
        for (const auto& v : verdicts)
            if (const auto* m = std::get_if<ReconfigClassifier::verdict::ModeChangedElsewhere>(&v))
                report(fx_event::ModeChangedElsewhere{m->display});
    }
    if (before != after && cover_) {
        closeCover();
        log("the screen is shown again: the displays changed");
        report(fx_event::CoverLost{});
    }
    followScreen();
}

void SystemDisplayEffects::followScreen() {
    if (!cover_) return;
    const auto frame = s_.backend->bounds(coverDisplay_);
    if (!frame) {
        closeCover();
        log("the screen is shown again: its display is gone");
        report(fx_event::CoverLost{});
        return;
    }
    if (*frame != cover_->frame()) cover_->setFrame(*frame);
}

std::string readBootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id(64, '\0');
    in.read(id.data(), static_cast<std::streamsize>(id.size()));
    id.resize(static_cast<std::size_t>(in.gcount()));
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

}  // namespace morvane
