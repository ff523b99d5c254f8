// The one long-lived object through which the tray uses the relay: it keeps
// the relay settings, the relay identity, and, while the relay is on, the
// relay link and the relay host; it starts and stops them, follows sleep and
// wake, answers the pause of sharing, builds the relay section of the menu
// and adds devices through the host's enrolment window. Everything here runs
// on the main queue; link and host do their own work on the server's queue.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/executor.h"
#include "devices/device_store.h"
#include "guide/guide_values.h"
#include "relay/host_relay_link.h"
#include "relay/relay_account.h"
#include "relay/relay_host.h"
#include "relay/relay_identity.h"
#include "relay/relay_server_port.h"

namespace morvane {

// What the controller keeps between runs, stored by the shell.
class RelaySettings {
public:
    virtual ~RelaySettings() = default;
    virtual std::optional<bool> boolValue(const std::string& key) const = 0;
    virtual std::optional<std::string> stringValue(const std::string& key) const = 0;
    virtual std::optional<std::int64_t> intValue(const std::string& key) const = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setInt(const std::string& key, std::int64_t value) = 0;
    virtual void remove(const std::string& key) = 0;
};

// A one-line text field under a dialog's texts.
struct RelayField {
    std::string text;
    std::string placeholder;
    std::string accessibilityLabel;
    bool operator==(const RelayField&) const = default;
};

// A dialog of the relay's flows; the first button answers 1000, the second
// 1001, the third 1002. The last button is also what Escape and closing the
// window answer, so it is the one that does nothing.
struct RelayAlert {
    std::string message;
    std::string informative;
    std::vector<std::string> buttons;
    // False: Return must not press the first button.
    bool firstIsDefault = true;
    std::optional<RelayField> field{};
    bool operator==(const RelayAlert&) const = default;
};

namespace RelayResponse {
inline constexpr int first = 1000;
inline constexpr int second = 1001;
inline constexpr int third = 1002;
inline constexpr int abort = -1001;
}  // namespace RelayResponse

// The shell's functions the controller reaches it through.
struct RelayMenuHooks {
    // A device controls the machine, or the last control ended under 10 s ago.
    std::function<bool()> blocked;
    std::function<bool()> paused;
    std::function<bool()> authenticating;
    // Owner authentication: `ok` on a later main-queue turn after success,
    // `fail` (when given) otherwise.
    std::function<void(const std::string& action, const std::string& reason, std::function<void()> ok,
                       std::function<void()> fail)>
        authenticate;
    // Runs the alert modally; ends it early (abort) once closeWhen is true or
    // a device starts controlling.
    std::function<int(const RelayAlert& alert, std::function<bool()> closeWhen)> runAlert;
    // The text typed into the field of the alert that ran last.
    std::function<std::string()> fieldText;
};

// One line of the relay's menu section. Actions are named by `action`,
// which the shell hands back to RelayController::perform.
struct RelayMenuItem {
    // A detail is a label read rarely (the account, the counters): the menu
    // may gather the details under one submenu where room is short.
    enum class Kind { label, warning, action, detail };
    Kind kind = Kind::label;
    std::string title;
    std::string action;
    bool enabled = false;
    bool operator==(const RelayMenuItem&) const = default;

    static RelayMenuItem label(std::string title) { return {Kind::label, std::move(title), {}, false}; }
    static RelayMenuItem warning(std::string title) { return {Kind::warning, std::move(title), {}, false}; }
    static RelayMenuItem detail(std::string title) { return {Kind::detail, std::move(title), {}, false}; }
    static RelayMenuItem command(std::string title, std::string action, bool enabled) {
        return {Kind::action, std::move(title), std::move(action), enabled};
    }
};

class RelayController : public std::enable_shared_from_this<RelayController> {
public:
    static constexpr const char* enabledKey = "relayEnabled";
    static constexpr const char* hostKey = "relayHost";
    static constexpr const char* emailKey = "relayAccountEmail";
    static constexpr const char* versionKey = "relayAccountsVersion";
    static constexpr std::int64_t noticeMillis = 60'000;
    static constexpr std::int64_t codeDialogMillis = 60'000;

    using LinkMaker =
        std::function<std::shared_ptr<HostRelayLink>(const std::string& baseURL, const RelayIdentity& identity)>;
    using HostMaker = std::function<std::shared_ptr<RelayHost>(const RelayIdentity& identity,
                                                               std::shared_ptr<RelayLinkTransport> link)>;

    struct Setup {
        std::shared_ptr<RelayServerPort> server;
        DeviceStore* store = nullptr;
        // The session log: tag and text.
        std::function<void(const std::string&, const std::string&)> log;
        bool hardened = false;
        RelayMenuHooks hooks;
        RelaySettings* settings = nullptr;
        std::shared_ptr<RelayIdentityStore> identities;
        LinkMaker makeLink;
        HostMaker makeHost;
        // The relay address a build offers by default, and the one this
        // machine's environment names (preferred when usable). Both empty
        // unless set: nobody runs a relay for every owner, so without one
        // the set-up asks for the address of the owner's own relay.
        std::string builtInAddress;
        std::optional<std::string> configuredAddress;
        // The account client for a relay origin ("https://" + address).
        std::function<std::unique_ptr<RelayAccount>(const std::string& origin)> makeAccount;
        // The computer's name offered at registration.
        std::function<std::string()> computerName;
        // How long an answer may take before a working dialog shows.
        double workingWindowDelaySeconds = 0.45;
        WallClock wallClock = systemWallMillis;
    };

    static std::shared_ptr<RelayController> create(Setup setup);
    explicit RelayController(Setup setup);

    // Trims, lower-cases and checks the text as a host name; one trailing
    // dot is dropped.
    static std::optional<std::string> usableAddress(std::string_view text);
    // Empty when neither the build nor the environment names a relay.
    const std::string& defaultAddress() const { return defaultAddress_; }

    void start();
    std::vector<RelayMenuItem> menuSection(bool blocked);
    // The status lines of the section for one state of the link.
    static std::vector<RelayMenuItem> linkLines(const HostRelayLink::State& state, std::int64_t nowWallMillis,
                                                bool held, bool setUpAllowed);
    // Why the link is still trying, while the relay has not answered: the
    // line under "Relay: connecting…" or "Relay: trying again in …", empty
    // when it has nothing to add.
    static std::string unansweredLine(const HostRelayLink::Snapshot& snapshot);
    void perform(const std::string& action);
    void morvanePaused();
    void startFresh();
    void willSleep();
    void didWake();
    // Returns once the goodbyes of every host stopped so far have left and
    // its link is off. Until then the server's queue holds that host and,
    // through it, the server: the host's quit waits here before the server
    // and the queues it uses go.
    void waitForGoodbyes();

    ConnectRelayFacts guideFacts() const;
    bool flowBusy() const { return flowRunning_; }
    std::optional<std::string> recentlyAdded() const;
    // The relay in use, or chosen at the last set-up; empty while none is.
    const std::string& relayAddress() const { return address_; }

    // Menu actions.
    void turnOn();
    void turnOff();
    void tryNow();
    void allowMore();
    void resetKeys();
    void addDevice();
    void changeAddress();
    // The set-up flows.
    void beginSetUp(bool chooseAddress);
    void removeFromAccount();

    // State the tests and the menu read.
    bool enabled() const { return enabled_; }
    const std::optional<std::string>& accountEmail() const { return accountEmail_; }
    const std::optional<RelayIdentity>& identity() const { return identity_; }
    const std::optional<std::string>& identityFailure() const { return identityFailure_; }
    const std::shared_ptr<HostRelayLink>& link() const { return link_; }
    const std::shared_ptr<RelayHost>& host() const { return host_; }
    bool enrolEnded() const { return enrolEnded_; }

private:
    void say(const std::string& text) const { say("relay", text); }
    void say(const std::string& tag, const std::string& text) const {
        if (s_.log) s_.log(tag, text);
    }
    void loadIdentity();
    void startLink();
    void stopLink();
    void enrolDevice();

    // Hosts stopped whose goodbyes are still leaving on the server's queue.
    struct Leaving {
        std::mutex m;
        std::condition_variable cv;
        int hosts = 0;
    };

    // On an account at a known relay: without an address there is nothing
    // to link to, whatever else is stored.
    bool setUp() const { return identity_.has_value() && accountEmail_.has_value() && !address_.empty(); }

    // One set-up, from sign-in to registration.
    struct SetUp {
        std::shared_ptr<RelayAccount> account;
        std::string address;
        RelayAccountSession session;
        RelayIdentity identity;
    };
    struct CodeAnswer {
        enum class Kind { signedIn, changeEmail, cancelled };
        Kind kind = Kind::cancelled;
        std::optional<RelayAccountSession> session;
    };
    void signInAndRegister(bool chooseAddress);
    std::optional<std::string> askForAddress();
    std::optional<RelayAccountSession> signIn(const std::shared_ptr<RelayAccount>& account, const std::string& address);
    // `mailed`: false when the relay mailed no new code and the one mailed
    // earlier stands.
    CodeAnswer askForCode(const std::shared_ptr<RelayAccount>& account, const std::string& email,
                          const std::string& loginId, bool mailed);
    std::optional<RelayIdentity> ensureIdentity();
    void registerWith(SetUp setUp, bool moved);
    void offerMove(SetUp setUp);
    template <class T>
    std::optional<T> waitForRelay(const std::string& title, std::function<void(T)> discard,
                                  const std::function<RelayAccount::Task(std::function<void(T)>)>& start);
    void tell(const std::string& title, const std::string& text);
    static void signOut(RelayAccount& account, const RelayAccountSession& session);
    static std::string word(const RelayAccountFailure& failure);
    std::shared_ptr<RelayAccount> accountFor(const std::string& address);

    Setup s_;
    std::string defaultAddress_;
    std::optional<RelayIdentity> identity_;
    std::optional<std::string> identityFailure_;
    bool enabled_ = false;
    std::string address_;
    std::optional<std::string> accountEmail_;
    std::shared_ptr<HostRelayLink> link_;
    std::shared_ptr<RelayHost> host_;
    std::shared_ptr<Leaving> leaving_ = std::make_shared<Leaving>();
    bool flowRunning_ = false;
    std::optional<std::pair<std::string, std::string>> enrolRequest_;
    bool enrolEnded_ = true;
    std::optional<std::pair<std::string, std::int64_t>> addedNotice_;
};

}  // namespace morvane
