#include "tailnet/tailscale_control.h"

#include "core/overload.h"
#include "core/session_log.h"

namespace morvane {

using namespace tailnet_decision;

std::shared_ptr<TailscaleControl> TailscaleControl::create(Setup setup) {
    return std::shared_ptr<TailscaleControl>(new TailscaleControl(std::move(setup)));
}

void TailscaleControl::start() {
    if (started_) return;
    started_ = true;
    refresh();
    scheduleRefresh();
}

void TailscaleControl::scheduleRefresh() {
    std::weak_ptr<TailscaleControl> weak = weak_from_this();
    d_.main->postAfter(refreshMillis, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->refresh();
        self->scheduleRefresh();
    });
}

void TailscaleControl::refresh() {
    std::weak_ptr<TailscaleControl> weak = weak_from_this();
    Executor* main = d_.main;
    d_.queue->post([weak, main] {
        auto self = weak.lock();
        if (!self) return;
        auto fresh = std::make_shared<Read>(self->read());
        self.reset();
        main->post([weak, fresh] {
            if (auto control = weak.lock()) control->applyRead(*fresh);
        });
    });
}

TailscaleControl::Read TailscaleControl::read() {
    const auto lookup = d_.cli->find();
    if (const auto* untrusted = std::get_if<cli_lookup::Untrusted>(&lookup))
        return {*untrusted, Unavailable{TailnetTexts::notTrusted}, std::nullopt};
    if (std::holds_alternative<cli_lookup::NotInstalled>(lookup))
        return {lookup, Unavailable{TailnetTexts::notInstalled}, std::nullopt};
    const std::string path = std::get<cli_lookup::Found>(lookup).path;

    const auto status = d_.cli->run(path, TailscaleCommand::status(), d_.statusTimeoutSeconds, false);
    if (status.refused)
        return {cli_lookup::Untrusted{*status.refused}, Unavailable{TailnetTexts::notTrusted}, std::nullopt};
    std::optional<TailscaleStatus> parsed;
    if (status.status == 0 && !status.timedOut) parsed = TailscaleParse::status(status.output);

    std::optional<TailscaleServeState> serve;
    if (parsed && parsed->dnsName && parsed->running()) {
        const auto served = d_.cli->run(path, TailscaleCommand::serveStatus(), d_.statusTimeoutSeconds, false);
        // A tool that fails its check on this second read is as untrusted
        // as one that fails on the first: its access goes at once.
        if (served.refused)
            return {cli_lookup::Untrusted{*served.refused}, Unavailable{TailnetTexts::notTrusted}, std::nullopt};
        if (served.status == 0 && !served.timedOut) serve = TailscaleParse::serve(served.output, *parsed->dnsName, d_.port);
    }
    return {lookup, decide(parsed, serve), serve};
}

void TailscaleControl::applyRead(const Read& fresh) {
    snapshot_.published = fresh.serve && fresh.serve->publishesMorvane;
    apply(fresh.lookup, fresh.decision);
}

void TailscaleControl::withdraw() {
    if (d_.setAccess) d_.setAccess(std::nullopt);
    snapshot_.access.reset();
}

void TailscaleControl::apply(const TrustedCLI::Lookup& lookup, const TailnetDecision& decision) {
    snapshot_.cli = lookup;
    snapshot_.decision = decision;

    if (const auto* on = std::get_if<On>(&decision)) {
        if (d_.setAccess) d_.setAccess(on->access);
        snapshot_.access = on->access;
        unreadableStreak_ = 0;
    } else if (std::holds_alternative<Unreadable>(decision)) {
        // A working access survives two unreadable reads in a row.
        if (++unreadableStreak_ >= unreadableLimit) withdraw();
    } else {
        withdraw();
        unreadableStreak_ = 0;
    }
    const auto* found = std::get_if<cli_lookup::Found>(&lookup);
    if (!found) withdraw();

    std::string tag = "tailscale";
    std::string message;
    if (std::holds_alternative<cli_lookup::NotInstalled>(lookup)) {
        message = "not installed";
    } else if (const auto* untrusted = std::get_if<cli_lookup::Untrusted>(&lookup)) {
        message = "the Tailscale tool found on this computer was NOT run: " + SessionLog::fit(untrusted->reason, 200);
        tag = "error";
    } else {
        std::visit(Overload{
                       [&](const Unreadable& d) {
                           message = "unreadable: " + d.text +
                                     (snapshot_.access ? " (keeping the current origin)" : "");
                       },
                       [&](const Unavailable& d) { message = "unavailable: " + d.text; },
                       [&](const Off& d) {
                           message = "serve is off for Morvane";
                           if (d.blocker) message += " (" + *d.blocker + ")";
                       },
                       [&](const On& d) {
                           message = "tailnet access on: https://" + d.access.host + ", owner " +
                                     d.access.ownerLogin.value_or("?");
                       },
                       [&](const Conflict& d) {
                           switch (d.kind) {
                               case ConflictKind::port443:
                                   message = "port 443 of the tailnet name is used by another serve entry; tailnet "
                                             "access off";
                                   break;
                               case ConflictKind::otherRoute:
                                   message = "another serve entry leads to the Morvane port (a raw TCP forward cannot "
                                             "be refused by the server); tailnet access off";
                                   tag = "error";
                                   break;
                               case ConflictKind::otherEntries:
                                   message = "other serve entries exist; Morvane only turns on when it is the only "
                                             "one; tailnet access off";
                                   break;
                           }
                       },
                       [&](const Funnel&) {
                           message = "FUNNEL IS ON for this computer: public exposure is possible. Tailnet sessions refused.";
                           tag = "error";
                       },
                   },
                   decision);
    }

    if (message != lastLogged_) {
        lastLogged_ = message;
        log(tag, tag == "error" ? message : "state: " + message);
        if (found && found->path != lastLoggedCLI_) {
            lastLoggedCLI_ = found->path;
            log("tailscale", "CLI: " + found->path);
        }
    }
    if (onChange) onChange();
}

void TailscaleControl::turnOn() {
    runAction("turn on", TailscaleCommand::serveOn(d_.port), [](TailscaleControl& self) -> std::optional<std::string> {
        const auto fresh = self.read();
        if (const auto* off = std::get_if<Off>(&fresh.decision)) return off->blocker;
        return std::string("the state changed; nothing was done");
    });
}

void TailscaleControl::turnOff() {
    runAction("turn off", TailscaleCommand::serveOff(d_.port), [](TailscaleControl& self) -> std::optional<std::string> {
        const auto fresh = self.read();
        if (fresh.serve && fresh.serve->publishesMorvane) return std::nullopt;
        return std::string("port 443 is not serving Morvane alone; nothing was removed");
    });
}

void TailscaleControl::runAction(const std::string& name, std::vector<std::string> arguments,
                                 std::function<std::optional<std::string>(TailscaleControl&)> precondition) {
    const auto* found = std::get_if<cli_lookup::Found>(&snapshot_.cli);
    if (snapshot_.busy || !found) return;
    for (const auto& a : arguments)
        if (a == "funnel") return;
    const std::string path = found->path;
    snapshot_.busy = true;
    snapshot_.actionError.reset();
    if (onChange) onChange();

    std::string joined;
    for (const auto& a : arguments) joined += (joined.empty() ? "" : " ") + a;
    log("tailscale", name + ": running tailscale " + joined);

    std::weak_ptr<TailscaleControl> weak = weak_from_this();
    Executor* main = d_.main;
    d_.queue->post([weak, main, name, path, arguments = std::move(arguments), precondition = std::move(precondition)] {
        auto self = weak.lock();
        if (!self) return;
        std::optional<std::string> error = precondition(*self);
        if (!error) {
            const auto result = self->d_.cli->run(path, arguments, self->d_.actionTimeoutSeconds, true);
            if (result.refused)
                error = *result.refused;
            else if (result.timedOut)
                error = "Tailscale did not finish. " + firstLine(result.output);
            else if (result.status != 0)
                error = firstLine(result.output);
        }
        auto fresh = std::make_shared<Read>(self->read());
        self.reset();
        main->post([weak, name, error, fresh] {
            auto control = weak.lock();
            if (!control) return;
            control->snapshot_.busy = false;
            if (error) {
                control->snapshot_.actionError = "Could not " + name + ": " + *error;
                control->log("error", name + " failed: " + *error);
            } else {
                control->snapshot_.actionError.reset();
                control->log("tailscale", name + ": command succeeded");
            }
            control->applyRead(*fresh);
        });
    });
}

std::string TailscaleControl::firstLine(std::string_view text) {
    const auto blank = [](std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; };
    std::string_view chosen;
    bool have = false;
    std::size_t start = 0, i = 0;
    const auto endLine = [&](std::size_t end) {
        if (!have && end > start && !blank(text.substr(start, end - start))) {
            chosen = text.substr(start, end - start);
            have = true;
        }
    };
    while (i < text.size() && !have) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t breakLength = 0;
        if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            breakLength = 1;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            breakLength = 2;  // next line
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            breakLength = 3;  // line and paragraph separators
        }
        if (breakLength) {
            endLine(i);
            i += breakLength;
            start = i;
        } else {
            ++i;
        }
    }
    endLine(text.size());
    if (!have) return "no output";
    std::string cleaned = SessionLog::clean(chosen, 160);
    const auto first = cleaned.find_first_not_of(" \t");
    if (first == std::string::npos) return "no output";
    const auto last = cleaned.find_last_not_of(" \t");
    return cleaned.substr(first, last - first + 1);
}

}  // namespace morvane
