#include "app/menu_model.h"

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>

#include <algorithm>
#include <cstdlib>

#include "core/session_log.h"
#include "guide/guide_texts.h"

namespace morvane {

namespace {

using Kind = MenuItem::Kind;

MenuItem checkItem(std::string title, MenuAction action, bool enabled, bool on) {
    MenuItem item = MenuItem::command(std::move(title), action, enabled);
    item.check = on ? MenuItem::Check::on : MenuItem::Check::off;
    return item;
}

void addTailnetSection(std::vector<MenuItem>& menu, const MenuSnapshot& s) {
    const TailnetMenuFacts& t = s.tailnet;
    if (t.cli == TailnetMenuFacts::Cli::untrusted) {
        menu.push_back(MenuItem::warning("The Tailscale app on this computer did not pass the trust check"));
        menu.push_back(MenuItem::line(SessionLog::fit(t.untrustedReason, 110)));
        menu.push_back(MenuItem::line("Morvane did not run it. Access from other devices is off"));
        return;
    }
    if (t.cli == TailnetMenuFacts::Cli::notInstalled) {
        menu.push_back(MenuItem::line("Tailscale is not installed"));
        return;
    }
    const bool turnOnAllowed = !s.blocked && !t.busy && !s.startError && !s.authenticating;
    const MenuItem turnOn = MenuItem::command("Turn On Access From My Devices…", MenuAction::turnOnTailnet, turnOnAllowed);
    const MenuItem turnOff =
        MenuItem::command("Turn Off Access From My Devices", MenuAction::turnOffTailnet, !s.blocked && !t.busy);
    using D = TailnetMenuFacts::Decision;
    switch (t.decision) {
        case D::on:
            menu.push_back(MenuItem::line("Access from my devices: on (tailnet only)"));
            menu.push_back(MenuItem::line("https://" + t.accessHost.value_or("")));
            if (t.ownerLogin) menu.push_back(MenuItem::line("Only devices signed in as " + *t.ownerLogin));
            menu.push_back(MenuItem::command("Copy Tailnet Address", MenuAction::copyTailnetAddress));
            menu.push_back(turnOff);
            break;
        case D::off: {
            menu.push_back(MenuItem::line("Access from my devices: off"));
            MenuItem on = turnOn;
            if (t.blocker) {
                menu.push_back(MenuItem::line(*t.blocker));
                on.enabled = false;
            }
            menu.push_back(on);
            break;
        }
        case D::conflictPort443:
            menu.push_back(MenuItem::line("Tailnet port 443 on this computer is used by another “tailscale serve” entry"));
            menu.push_back(MenuItem::line("Morvane will not share or replace it"));
            break;
        case D::conflictOtherRoute:
            menu.push_back(MenuItem::warning("Another “tailscale serve” entry leads to the Morvane port"));
            menu.push_back(MenuItem::line("A raw TCP forward cannot be blocked by Morvane: it must be removed"));
            menu.push_back(MenuItem::line(
                "See it with “tailscale serve status”, remove it, or run “tailscale serve reset”"));
            if (t.published) menu.push_back(turnOff);
            break;
        case D::conflictOtherEntries:
            menu.push_back(MenuItem::line("Access from my devices: off"));
            menu.push_back(MenuItem::line("Tailscale is serving other things from this computer"));
            menu.push_back(
                MenuItem::line("Morvane only turns on when its entry is the only one (“tailscale serve status”)"));
            if (t.published) menu.push_back(turnOff);
            break;
        case D::funnel:
            menu.push_back(MenuItem::warning("PUBLIC EXPOSURE: Tailscale Funnel is on for this computer"));
            menu.push_back(MenuItem::line("Morvane refuses all tailnet sessions while it is on"));
            menu.push_back(MenuItem::line("To turn it off, run in Terminal: tailscale funnel reset"));
            if (t.published) menu.push_back(turnOff);
            break;
        case D::unreadable:
        case D::unavailable:
            menu.push_back(MenuItem::line(t.text));
            if (t.accessHost) menu.push_back(MenuItem::line("Still on: https://" + *t.accessHost));
            if (t.published) menu.push_back(turnOff);
            break;
    }
    if (t.busy) menu.push_back(MenuItem::line("Talking to Tailscale…"));
    if (t.actionError) menu.push_back(MenuItem::warning(SessionLog::clean(*t.actionError, 120)));
}

void addSessionLines(std::vector<MenuItem>& menu, const MenuSnapshot& s) {
    if (s.controller) {
        if (s.effectsMatched)
            menu.push_back(MenuItem::line("Resolution changed for " + SessionLog::clean(*s.controller, 40) +
                                          ". Back to normal when it disconnects"));
        if (s.effectsHidden)
            menu.push_back(MenuItem::warning("This screen is hidden from view. Hold Escape for 3 seconds to show it"));
    }
    if (s.restoreOwed)
        menu.push_back(MenuItem::warning("The resolution could not be put back yet. Quitting Morvane puts it back"));
    if (s.historyLine) menu.push_back(MenuItem::line(*s.historyLine));
    for (const auto& text : s.historyAlsoNew) menu.push_back(MenuItem::line(text));
    if (!s.historyEarlier.empty()) {
        MenuItem earlier = MenuItem::command("Earlier", MenuAction::none, true);
        for (const auto& text : s.historyEarlier) earlier.submenu.push_back(MenuItem::line(text));
        menu.push_back(std::move(earlier));
    }
}

MenuItem devicesSubmenu(const MenuSnapshot& s) {
    MenuItem devices = MenuItem::command("Devices", MenuAction::none, true);
    if (s.devices.empty()) {
        devices.submenu.push_back(MenuItem::line("No paired devices"));
        return devices;
    }
    for (const auto& d : s.devices) {
        const std::string when = d.lastSeen ? "last seen " + *d.lastSeen : "never connected";
        MenuItem item = MenuItem::command(d.name + " (" + (d.relay ? "relay, " : "") + when + ")", MenuAction::none);
        MenuItem revoke = MenuItem::command("Revoke", MenuAction::revokeDevice, !s.blocked);
        revoke.payload = d.id;
        item.submenu.push_back(std::move(revoke));
        devices.submenu.push_back(std::move(item));
    }
    devices.submenu.push_back(MenuItem::separator());
    devices.submenu.push_back(MenuItem::command("Revoke All", MenuAction::revokeAllDevices, !s.blocked));
    return devices;
}

}  // namespace

bool pairEnabled(const MenuSnapshot& s) {
    return !s.blocked && !s.paused && !s.startError && !s.storageFailure && !s.lastSaveFailure && !s.authenticating;
}

namespace {
// Whether a text of `count` characters, too long for one line of `max`, has
// a reason after its last ": " short enough to stay whole on that line while
// its subject keeps at least a few characters on each side of a cut.
bool reasonFits(const std::string& cleaned, std::size_t count, std::size_t max) {
    const auto at = cleaned.rfind(": ");
    if (at == std::string::npos || at == 0) return false;
    const std::size_t reason = count - SessionLog::characters(std::string_view(cleaned).substr(0, at)).size();
    return reason + 1 + 8 <= max;
}
}  // namespace

std::string failureLine(std::string_view text, int limit) {
    if (limit <= 0) return {};
    // One line with every character shown; longer texts than this are not
    // a sentence a storage writes.
    const std::string cleaned = SessionLog::clean(text, 4096);
    const auto chars = SessionLog::characters(cleaned);
    const auto max = static_cast<std::size_t>(limit);
    if (chars.size() <= max) return cleaned;
    const std::string ellipsis = "…";
    const auto cut = [&] { return SessionLog::joined(chars, 0, max - 1) + ellipsis; };
    if (!reasonFits(cleaned, chars.size(), max)) return cut();
    const auto at = cleaned.rfind(": ");
    const auto subject = SessionLog::characters(std::string_view(cleaned).substr(0, at));
    const std::size_t reason = chars.size() - subject.size();  // ": " and the reason
    const std::size_t room = max - reason - 1;
    std::size_t head = 0;  // the subject's words before its last one
    for (std::size_t i = 0; i < subject.size(); ++i)
        if (subject[i] == " ") head = i + 1;
    if (head == 0 || head + 4 > room) head = room / 2;
    // The kept end starts after a separator where one is near, so that it
    // begins with a whole name.
    std::size_t from = subject.size() - (room - head);
    for (std::size_t j = from; j + 8 < subject.size(); ++j) {
        if (subject[j] == " ") break;
        if (subject[j] == "/" || subject[j] == ".") {
            from = j + 1;
            break;
        }
    }
    return SessionLog::joined(subject, 0, head) + ellipsis + SessionLog::joined(subject, from, subject.size()) +
           std::string(cleaned.substr(at));
}

std::vector<std::string> failureLines(std::string_view text, int width) {
    if (width <= 0) return {};
    const std::string cleaned = SessionLog::clean(text, 4096);
    const auto count = SessionLog::characters(cleaned).size();
    const auto max = static_cast<std::size_t>(width);
    if (count <= max || reasonFits(cleaned, count, max)) return {failureLine(text, width)};
    return wrapLines(text, width);
}

std::vector<std::string> wrapLines(std::string_view text, int width) {
    if (width <= 0) return {};
    const std::string cleaned = SessionLog::clean(text, 4096);
    const auto chars = SessionLog::characters(cleaned);
    const auto max = static_cast<std::size_t>(width);
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < chars.size()) {
        while (from < chars.size() && chars[from] == " ") ++from;
        if (from == chars.size()) break;
        if (chars.size() - from <= max) {
            lines.push_back(SessionLog::joined(chars, from, chars.size()));
            break;
        }
        // The last blank within the line ends it; without one, the last "/"
        // in its second half, else the line's end.
        std::size_t end = 0;
        for (std::size_t i = from + max; i > from; --i)
            if (chars[i] == " ") {
                end = i;
                break;
            }
        if (end == 0)
            for (std::size_t i = from + max - 1; i > from + max / 2; --i)
                if (chars[i] == "/") {
                    end = i + 1;
                    break;
                }
        if (end == 0) end = from + max;
        lines.push_back(SessionLog::joined(chars, from, end));
        from = end;
    }
    return lines;
}

namespace {
MenuItem folded(MenuItem item, const char* into, int rank) {
    item.foldInto = into;
    item.foldRank = rank;
    return item;
}
}  // namespace

std::vector<MenuItem> foldMenu(const std::vector<MenuItem>& items, int level) {
    std::vector<MenuItem> out;
    const auto foldable = [level](const MenuItem& item) {
        return item.foldRank > 0 && item.foldRank <= level && item.kind != MenuItem::Kind::warning &&
               item.kind != MenuItem::Kind::separator;
    };
    for (std::size_t i = 0; i < items.size();) {
        if (!foldable(items[i])) {
            out.push_back(items[i++]);
            continue;
        }
        std::size_t end = i;
        while (end < items.size() && foldable(items[end]) && items[end].foldInto == items[i].foldInto) ++end;
        std::vector<MenuItem> run;
        for (std::size_t j = i; j < end; ++j)
            if (items[j].kind != MenuItem::Kind::header) run.push_back(items[j]);
        if (run.size() <= 1) {
            out.insert(out.end(), items.begin() + static_cast<std::ptrdiff_t>(i),
                       items.begin() + static_cast<std::ptrdiff_t>(end));
        } else {
            MenuItem sub = MenuItem::command(items[i].foldInto, MenuAction::none, true);
            sub.submenu = std::move(run);
            out.push_back(std::move(sub));
        }
        i = end;
    }
    return out;
}

int maxFoldLevel(const std::vector<MenuItem>& items) {
    int level = 0;
    for (const auto& item : items) level = std::max(level, item.foldRank);
    return level;
}

std::vector<MenuItem> buildMenu(const MenuSnapshot& s) {
    std::vector<MenuItem> menu;
    const bool widenAllowed = !s.blocked && !s.authenticating;

    if (s.paused) {
        menu.push_back(MenuItem::line("Paused: nobody can connect"));
        menu.push_back(MenuItem::command("Resume Morvane…", MenuAction::resumeMorvane, widenAllowed));
        if (s.blocked) menu.push_back(MenuItem::line("Resume comes back in a few seconds"));
        // Said where the pause is made: the next start would let devices in.
        if (s.pauseNotSaved) menu.push_back(MenuItem::warning("This pause is not saved: it holds only until Morvane quits"));
    } else if (!s.startError) {
        // A host that serves nothing has nothing to pause: a pause chosen
        // now would only hold the next start that does serve.
        menu.push_back(MenuItem::command("Pause Morvane", MenuAction::pauseMorvane));
        if (s.pauseNotSaved) menu.push_back(MenuItem::line("This resume is not saved: Morvane starts paused next time"));
    }
    menu.push_back(MenuItem::separator());

    if (s.startError) {
        menu.push_back(MenuItem::line(*s.startError));
        if (s.startAdvice) menu.push_back(MenuItem::line(*s.startAdvice));
    } else if (s.controller)
        menu.push_back(MenuItem::line("Controlled by " + *s.controller));
    else if (!s.paused)
        menu.push_back(MenuItem::line("Ready"));
    addSessionLines(menu, s);
    if (s.pairedNoticeName)
        menu.push_back(MenuItem::line("Paired “" + *s.pairedNoticeName + "” just now. Revoke it under Devices"));
    if (!s.startError) {
        menu.push_back(MenuItem::command("Connect a Device…", MenuAction::showConnectWindow));
        const auto local = [](MenuItem item) {
            return folded(std::move(item), MenuFolds::thisComputer, MenuFolds::thisComputerRank);
        };
        menu.push_back(local(MenuItem::command(GuideTexts::openOnThisComputer, MenuAction::openAddress)));
        if (!s.tailnet.accessHost)
            menu.push_back(local(
                MenuItem::command(GuideTexts::pairOnThisComputer, MenuAction::pairNewDevice, pairEnabled(s))));
        menu.push_back(local(MenuItem::command(
            "Copy This Computer’s Local Address (127.0.0.1:" + std::to_string(s.port) + ")", MenuAction::copyAddress)));
    }
    menu.push_back(MenuItem::separator());

    // No relay controller (the server did not start): no heading over nothing.
    if (!s.relaySection.empty()) {
        menu.push_back(MenuItem::header(MenuTitles::relay));
        for (const auto& item : s.relaySection) menu.push_back(item);
        menu.push_back(MenuItem::separator());
    }

    menu.push_back(MenuItem::header(MenuTitles::tailscale));
    addTailnetSection(menu, s);
    if (s.tailnet.accessHost)
        menu.push_back(MenuItem::command("Pair a Device Over Tailscale…", MenuAction::pairNewDevice, pairEnabled(s)));
    menu.push_back(MenuItem::separator());

    // What X offers the host. There are no privacy settings to open here:
    // each line says what is missing instead.
    const std::size_t permissionsStart = menu.size();
    menu.push_back(MenuItem::header("Permissions"));
    switch (s.screen) {
        case ScreenRecordingState::allowed:
            menu.push_back(MenuItem::line("Screen Capture: available"));
            break;
        case ScreenRecordingState::needsRelaunch:
            menu.push_back(MenuItem::line("Screen Capture: on, but not active yet"));
            menu.push_back(MenuItem::line("Quit and reopen Morvane to finish enabling screen capture"));
            break;
        case ScreenRecordingState::missing:
            menu.push_back(MenuItem::warning("Screen Capture: the X display cannot be read"));
            break;
    }
    if (s.accessibility)
        menu.push_back(MenuItem::line("Keyboard and Pointer Control: available"));
    else
        menu.push_back(MenuItem::warning("Keyboard and Pointer Control: the X server has no XTEST extension"));
    if (s.allowHideScreen) {
        if (s.inputMonitoring)
            menu.push_back(MenuItem::line("Escape Key Watch: available"));
        else
            menu.push_back(MenuItem::warning("Escape Key Watch: the X server has no XInput 2 extension"));
    }
    // Only a section with nothing to act on folds: a problem stays in sight.
    if (std::none_of(menu.begin() + static_cast<std::ptrdiff_t>(permissionsStart), menu.end(),
                     [](const MenuItem& item) { return item.kind == Kind::warning; }))
        for (std::size_t i = permissionsStart; i < menu.size(); ++i)
            menu[i] = folded(std::move(menu[i]), MenuFolds::permissions, MenuFolds::permissionsRank);
    menu.push_back(MenuItem::separator());

    menu.push_back(MenuItem::header("Devices and Settings"));
    if (!s.hardened) {
        menu.push_back(MenuItem::warning(s.notHardenedWarning));
        menu.push_back(MenuItem::line("The paired-devices list is not opened and no device is accepted"));
        menu.push_back(MenuItem::line(s.notHardenedAdvice));
    } else if (s.storageFailure) {
        menu.push_back(MenuItem::warning("Paired devices could not be read"));
        for (auto& line : failureLines(*s.storageFailure, 90)) menu.push_back(MenuItem::line(std::move(line)));
        menu.push_back(MenuItem::line("No device is accepted until you start fresh"));
        menu.push_back(MenuItem::command("Start Fresh and Pair Again…", MenuAction::resetDeviceStorage, widenAllowed));
    } else if (s.lastSaveFailure) {
        menu.push_back(MenuItem::warning("Paired devices are not being saved"));
        for (auto& line : failureLines(*s.lastSaveFailure, 90)) menu.push_back(MenuItem::line(std::move(line)));
        menu.push_back(MenuItem::line("New pairings are refused; Morvane tries again every 10 seconds"));
        if (s.unsavedRevocation == UnsavedRevocationState::listRemoved && !s.devices.empty())
            menu.push_back(MenuItem::warning("Keep Morvane running: after a restart the other devices must be paired again"));
        else if (s.unsavedRevocation == UnsavedRevocationState::listRemoved)
            menu.push_back(MenuItem::line("Until then no device is accepted after a restart"));
        else if (s.unsavedRevocation == UnsavedRevocationState::listKept)
            menu.push_back(MenuItem::warning("Until then a revoked device would be accepted again after a restart"));
    }
    menu.push_back(devicesSubmenu(s));
    if (s.blocked)
        menu.push_back(MenuItem::line(s.controller ? "Pairing and revoking are off while controlled"
                                                   : "Pairing and revoking come back in a few seconds"));
    const auto setting = [](MenuItem item) { return folded(std::move(item), MenuFolds::settings, MenuFolds::settingsRank); };
    menu.push_back(setting(checkItem("Lock Computer When the Controller Disconnects",
                                     MenuAction::toggleLockOnDisconnect, widenAllowed, s.lockOnDisconnect)));
    // A lock that failed is red; a locker that does not answer before any
    // lock was tried is advice, not a failure.
    if (s.lastLockFailed && s.lockerMissing)
        menu.push_back(MenuItem::warning("The screen could not be locked: no screen locker answers"));
    else if (s.lastLockFailed)
        menu.push_back(MenuItem::warning("The screen could not be locked when the controller disconnected"));
    else if (s.lockerMissing)
        menu.push_back(MenuItem::line("No screen locker answers"));
    if (s.lastLockFailed || s.lockerMissing)
        menu.push_back(MenuItem::line(GuideTexts::lockerHint));
    // Turning a permission off is always possible; turning it on is not.
    menu.push_back(setting(checkItem("Devices May Change the Resolution", MenuAction::toggleResolutionMatch,
                                     s.allowResolutionMatch || widenAllowed, s.allowResolutionMatch)));
    menu.push_back(setting(checkItem("Devices May Hide This Screen", MenuAction::toggleHideScreen,
                                     s.allowHideScreen || widenAllowed, s.allowHideScreen)));
    if (s.hideScreenNotStored)
        menu.push_back(MenuItem::warning("The stored screen-hiding setting could not be turned off"));
    if (s.allowHideScreen) {
        menu.push_back(MenuItem::line("Hold Escape for 3 seconds to show it again"));
        menu.push_back(MenuItem::line("It also shows again on disconnect, on lock or sleep, and after " +
                                      std::to_string(s.hideIdleSeconds / 60) + " minutes without remote input"));
        menu.push_back(MenuItem::line("Keyboard and mouse at the computer still work"));
        if (s.screens >= 2) menu.push_back(MenuItem::line("Only the display being viewed is hidden"));
    }
    const bool loginOff = s.loginItem == LoginItemStatus::off;
    MenuItem login = MenuItem::command("Start at Login", MenuAction::toggleStartAtLogin,
                                       !s.blocked && !(loginOff && s.loginItemUnavailable));
    login.check = s.loginItem == LoginItemStatus::enabled           ? MenuItem::Check::on
                  : s.loginItem == LoginItemStatus::requiresApproval ? MenuItem::Check::mixed
                                                                     : MenuItem::Check::off;
    menu.push_back(setting(std::move(login)));
    if (s.loginItem == LoginItemStatus::requiresApproval)
        menu.push_back(
            MenuItem::line("Start at Login is waiting for approval"));
    if (loginOff && s.loginItemUnavailable) menu.push_back(MenuItem::line(*s.loginItemUnavailable));
    if (!loginOff && s.loginItemElsewhere)
        menu.push_back(MenuItem::warning(SessionLog::fit(*s.loginItemElsewhere, 120)));
    if (s.loginItemError) menu.push_back(MenuItem::warning(SessionLog::clean(*s.loginItemError, 120)));
    if (s.settingsNotSaved) {
        menu.push_back(MenuItem::warning("Settings are not being saved"));
        for (auto& line : failureLines(*s.settingsNotSaved, 90)) menu.push_back(MenuItem::line(std::move(line)));
        menu.push_back(MenuItem::line("Changes made now hold only until Morvane quits"));
    }
    if (s.settingsDamaged) {
        menu.push_back(MenuItem::warning("The settings file was damaged: the defaults are in use"));
        menu.push_back(MenuItem::line("settings.json: " + SessionLog::clean(*s.settingsDamaged, 120)));
    }
    menu.push_back(MenuItem::separator());

    MenuItem files = MenuItem::command("Files", MenuAction::none, true);
    files.submenu = {MenuItem::command("Send Files to My Devices…", MenuAction::chooseFilesForOutbox),
                     MenuItem::command("Show Files Waiting to Be Fetched (Outbox)", MenuAction::showOutbox),
                     MenuItem::separator(),
                     MenuItem::command("Show Files Received From My Devices", MenuAction::showReceivedFiles)};
    menu.push_back(std::move(files));
    menu.push_back(MenuItem::separator());

    if (s.controller)
        menu.push_back(MenuItem::command("Disconnect " + *s.controller, MenuAction::disconnectController));
    menu.push_back(MenuItem::command("Welcome to Morvane…", MenuAction::showWelcomeWindow));
    if (s.updatesItem) menu.push_back(*s.updatesItem);
    menu.push_back(MenuItem::command("Quit Morvane", MenuAction::quit));
    return menu;
}

IconState iconState(bool startError, bool paused, const std::optional<std::string>& controller, bool recentlyPaired,
                    bool lockTrouble) {
    IconState icon;
    // Pausing and a controller are what the owner must see first; locking
    // trouble waits behind them, not behind a fresh pairing.
    const bool attention = startError || (lockTrouble && !paused && !controller);
    if (attention)
        icon.symbol = "exclamationmark.triangle";
    else if (paused)
        icon.symbol = "pause.circle";
    else if (controller)
        icon.symbol = "record.circle.fill";
    else if (recentlyPaired)
        icon.symbol = "checkmark.circle";
    else
        icon.symbol = "display";
    icon.red = !startError && !paused && controller.has_value();
    icon.fallbackTitle = paused ? "Remote ❙❙" : controller ? "Remote ●" : "Remote";
    icon.tooltip = paused ? "Morvane: paused, nobody can connect"
                   : controller ? "Morvane: controlled by " + *controller
                   : attention && !startError ? "Morvane: the screen could not be locked"
                                : "Morvane";
    return icon;
}

std::string relativeTime(std::int64_t secondsFromNow, const std::string& locale) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale loc = locale.empty() ? icu::Locale::getDefault() : icu::Locale(locale.c_str());
    icu::RelativeDateTimeFormatter formatter(loc, status);
    if (U_FAILURE(status)) return {};
    const std::int64_t magnitude = std::llabs(secondsFromNow);
    URelativeDateTimeUnit unit = UDAT_REL_UNIT_SECOND;
    double amount = static_cast<double>(secondsFromNow);
    struct Step {
        std::int64_t seconds;
        URelativeDateTimeUnit unit;
    };
    static constexpr Step steps[] = {{31'536'000, UDAT_REL_UNIT_YEAR}, {2'592'000, UDAT_REL_UNIT_MONTH},
                                     {604'800, UDAT_REL_UNIT_WEEK},    {86'400, UDAT_REL_UNIT_DAY},
                                     {3'600, UDAT_REL_UNIT_HOUR},      {60, UDAT_REL_UNIT_MINUTE}};
    for (const auto& step : steps) {
        if (magnitude >= step.seconds) {
            unit = step.unit;
            amount = static_cast<double>(secondsFromNow / step.seconds);
            break;
        }
    }
    icu::UnicodeString out;
    formatter.formatNumeric(amount, unit, out, status);
    if (U_FAILURE(status)) return {};
    std::string text;
    out.toUTF8String(text);
    return text;
}

}  // namespace morvane
