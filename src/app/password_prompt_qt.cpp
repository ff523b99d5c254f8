#include "app/password_prompt_qt.h"

#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>
#include <cstring>
#include <algorithm>

namespace morvane {

namespace {

struct Conversation {
    const std::string* password;
};

int converse(int count, const struct pam_message** messages, struct pam_response** responses, void* data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
    auto* replies = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!replies) return PAM_BUF_ERR;
    const auto* conversation = static_cast<const Conversation*>(data);
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
            case PAM_PROMPT_ECHO_OFF:
            case PAM_PROMPT_ECHO_ON:
                replies[i].resp = strdup(conversation->password->c_str());
                if (!replies[i].resp) {
                    for (int j = 0; j < i; ++j) std::free(replies[j].resp);
                    std::free(replies);
                    return PAM_BUF_ERR;
                }
                break;
            default:
                break;  // information and error texts need no answer
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

std::string currentUser() {
    const uid_t uid = ::getuid();
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16'384, '\0');
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
    return found->pw_name;
}

}  // namespace

bool pamCheckPassword(const std::string& user, const std::string& password) {
    if (user.empty()) return false;
    Conversation conversation{&password};
    const struct pam_conv conv = {converse, &conversation};
    pam_handle_t* handle = nullptr;
    if (pam_start("morvane", user.c_str(), &conv, &handle) != PAM_SUCCESS) return false;
    int rc = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(handle, PAM_SILENT);
    pam_end(handle, rc);
    return rc == PAM_SUCCESS;
}

PasswordPrompt::PasswordPrompt(Executor& main, Executor& background, Check check)
    : main_(main), background_(background), check_(std::move(check)) {}

PasswordPrompt::~PasswordPrompt() {
    if (dialog_) dialog_->deleteLater();
}

void PasswordPrompt::ask(const std::string& reason, std::function<void(bool)> done) {
    const std::uint64_t generation = ++generation_;
    done_ = std::move(done);
    tries_ = 0;
    closingReported_ = false;
    auto* dialog = new QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle("Morvane");
    auto* layout = new QVBoxLayout(dialog);
    // The dialog takes the size its texts need at a fixed width, and takes
    // it again when a line appears: a top-level window does not ask its
    // wrapped labels how tall they must be, so left to itself it cut the
    // prompt at top and bottom and had no room for "Wrong password".
    layout->setSizeConstraint(QLayout::SetFixedSize);
    auto* label = new QLabel(QString::fromStdString("Morvane wants to " + reason + ".\nEnter your password to allow this."),
                             dialog);
    label->setWordWrap(true);
    label->setFixedWidth(label->fontMetrics().averageCharWidth() * 48);
    auto* field = new QLineEdit(dialog);
    field->setEchoMode(QLineEdit::Password);
    field->setObjectName("password");
    auto* wrong = new QLabel(QString::fromUtf8(wrongPasswordText), dialog);
    wrong->setObjectName("wrong");
    wrong->setStyleSheet("QLabel { color: #d42a2a; }");
    wrong->setWordWrap(true);
    wrong->setFixedWidth(label->width());
    wrong->hide();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    layout->addWidget(label);
    layout->addWidget(field);
    layout->addWidget(wrong);
    layout->addWidget(buttons);
    // OK checks the password with the dialog still up, so a wrong one can
    // be typed again, as the desktop's own password dialogs allow.
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, [this, generation, field, buttons] {
        if (!buttons->isEnabled()) return;
        buttons->setEnabled(false);
        field->setEnabled(false);
        std::string password = field->text().toStdString();
        field->clear();
        // PAM may wait seconds after a wrong password: not on the main queue.
        const auto alive = alive_.token();
        Executor* main = &main_;
        background_.post([this, alive, main, generation, password = std::move(password), check = check_]() mutable {
            const bool ok = check(currentUser(), password);
            std::fill(password.begin(), password.end(), '\0');
            main->post([this, alive, generation, ok] {
                if (alive) checked(generation, ok);
            });
        });
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    // Closing the window is cancelling.
    QObject::connect(dialog, &QDialog::finished, dialog, [this, generation](int result) {
        if (result == QDialog::Accepted) return;
        if (!closingReported_ && generation == generation_ && report) report(Event::cancelled, tries_);
        finish(generation, false);
    });
    dialog_ = dialog;
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    field->setFocus();
}

void PasswordPrompt::checked(std::uint64_t generation, bool ok) {
    if (generation != generation_ || !dialog_) return;
    if (ok) {
        dialog_->accept();
        finish(generation, true);
        return;
    }
    auto* wrong = dialog_->findChild<QLabel*>("wrong");
    if (++tries_ >= maxTries) {
        // Said before the dialog goes, with nothing left to press.
        closingReported_ = true;
        if (report) report(Event::triesUsedUp, tries_);
        if (wrong) {
            wrong->setText(QString::fromUtf8(triesUsedUpText));
            wrong->show();
        }
        const auto alive = alive_.token();
        main_.postAfter(triesUsedUpMillis, [this, alive, generation] {
            if (!alive || generation != generation_) return;
            if (dialog_)
                dialog_->reject();
            else
                finish(generation, false);
        });
        return;
    }
    if (report) report(Event::wrongPassword, tries_);
    if (wrong) wrong->show();
    if (auto* buttons = dialog_->findChild<QDialogButtonBox*>()) buttons->setEnabled(true);
    if (auto* field = dialog_->findChild<QLineEdit*>("password")) {
        field->setEnabled(true);
        field->setFocus();
    }
}

void PasswordPrompt::cancel() {
    const std::uint64_t generation = generation_;
    closingReported_ = true;
    if (dialog_ && dialog_->isVisible()) dialog_->reject();
    finish(generation, false);
}

void PasswordPrompt::finish(std::uint64_t generation, bool ok) {
    // One answer per question; a later or stale one is dropped.
    if (generation != generation_ || !done_) return;
    auto done = std::move(done_);
    done_ = nullptr;
    done(ok);
}

}  // namespace morvane
