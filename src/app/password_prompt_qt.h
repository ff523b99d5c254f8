// The owner's authentication: a password dialog whose answer PAM checks
// against the running user's own password. A wrong password may be typed
// again up to three tries in all; cancelling, the third wrong password and
// PAM being unavailable all answer "failed". Each wrong password, the third
// and the owner's Cancel are reported apart (OwnerPrompt::report); after
// the third the dialog says so for a moment before it closes.
#pragma once

#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/owner_auth.h"
#include "core/executor.h"
#include "core/liveness.h"

#include <QDialog>

namespace morvane {

// Checks a password for a user with PAM under the service "morvane" (which
// falls back to the system's "other" rules when no file of its own exists).
// Blocks; call off the main queue.
bool pamCheckPassword(const std::string& user, const std::string& password);

class PasswordPrompt final : public OwnerPrompt {
public:
    using Check = std::function<bool(const std::string& user, const std::string& password)>;
    // The password is checked on `background`, which outlives the prompt.
    PasswordPrompt(Executor& main, Executor& background, Check check = pamCheckPassword);
    ~PasswordPrompt() override;

    static constexpr int maxTries = 3;
    static constexpr const char* wrongPasswordText = "Wrong password";
    static constexpr const char* triesUsedUpText = "Wrong password. After three wrong passwords this is not allowed.";
    // How long the dialog shows the third wrong password before it closes.
    static constexpr std::int64_t triesUsedUpMillis = 2'500;

    void ask(const std::string& reason, std::function<void(bool)> done) override;
    void cancel() override;

    // For tests: the dialog while it is up.
    QDialog* dialog() const { return dialog_; }

private:
    void finish(std::uint64_t generation, bool ok);
    // The answer of one try at the password.
    void checked(std::uint64_t generation, bool ok);

    Executor& main_;
    Executor& background_;
    Check check_;
    QPointer<QDialog> dialog_;
    std::function<void(bool)> done_;
    std::uint64_t generation_ = 0;
    int tries_ = 0;
    // The dialog is closing for a reason already reported (tries used up) or
    // by cancel(): its closing is not the owner's Cancel.
    bool closingReported_ = false;
    Liveness alive_;
};

}  // namespace morvane
