#include "app/tray_qt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>
#include <QWidgetAction>
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>
#include <optional>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace morvane {

namespace {

constexpr int abortCode = static_cast<int>(ModalResponse::abort);

QString text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Closing the status window quits the host the normal way: without a tray
// it is the only way back to the menu, and a host nobody can reach must not
// keep running.
class QuitOnClose final : public QObject {
public:
    explicit QuitOnClose(std::function<void()> quit, QObject* parent) : QObject(parent), quit_(std::move(quit)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && quit_) quit_();
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> quit_;
};

// How often a finished opener is looked for. The opener may wait for the
// program it started, so it is asked without waiting, never waited for on
// the background queue that other work shares.
constexpr std::int64_t reapPollMillis = 500;

// How often the tray is looked for. The toolkit docks the icon by itself
// when a tray appears; what is decided here is only whether the status
// window is needed, so a tray that appears has the icon at once and the
// window goes within this time.
constexpr int trayCheckMillis = 500;
// A panel that restarts is back within a moment: the window comes only for
// a tray that stays away this long.
constexpr qint64 trayAbsenceMillis = 2'000;

void reapWhenDone(Executor& queue, pid_t pid) {
    queue.postAfter(reapPollMillis, [&queue, pid] {
        int status = 0;
        pid_t done = -1;
        do {
            done = ::waitpid(pid, &status, WNOHANG);
        } while (done < 0 && errno == EINTR);
        if (done == 0) reapWhenDone(queue, pid);
    });
}

}  // namespace

TrayUi::TrayUi(std::function<std::vector<MenuItem>()> menu,
               std::function<void(MenuAction, const std::string&)> perform, std::function<void()> quit,
               Executor& background)
    : build_(std::move(menu)), perform_(std::move(perform)), quit_(std::move(quit)), background_(background) {
    // Rebuilt at every opening, so nothing stale is ever shown.
    QObject::connect(&menu_, &QMenu::aboutToShow, [this] {
        if (!filled_) rebuild();
        filled_ = false;
    });
}

TrayUi::~TrayUi() {
    if (alert_) alert_->done(abortCode);
    closeWindow();
}

void TrayUi::start() {
    tray_ = std::make_unique<QSystemTrayIcon>();
    // No context menu is handed to the tray: the toolkit would open it at
    // the pointer, its first item ("Pause Morvane") under the icon, where a
    // second click or a double click would choose it. Both buttons open the
    // menu placed from the icon instead.
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason why) { iconActivated(why); });
    tray_->setIcon(drawIcon(icon_));
    // Shown even with no tray: the toolkit docks it in one that comes later.
    tray_->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) openWindow();
    QObject::connect(&trayCheck_, &QTimer::timeout, [this] { followTray(); });
    trayCheck_.start(trayCheckMillis);
}

void TrayUi::followTray() {
    // Never while the menu is open: it may hang from the window's button.
    if (menu_.isVisible()) return;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayMissing_.reset();
        if (!window_) return;
        // The toolkit docks a shown icon when a tray announces itself; one
        // that missed it is asked again before the window goes.
        if (tray_->geometry().isEmpty()) {
            tray_->hide();
            tray_->show();
        }
        closeWindow();
        return;
    }
    if (window_) return;
    if (!trayMissing_) {
        trayMissing_.emplace();
        trayMissing_->start();
    }
    if (trayMissing_->elapsed() >= trayAbsenceMillis) {
        trayMissing_.reset();
        openWindow();
    }
}

void TrayUi::openWindow() {
    window_ = std::make_unique<QWidget>(nullptr, Qt::Window);
    window_->setWindowTitle("Morvane");
    // Only the owner's close quits: a window the tray replaced is already
    // out of window_ when it goes.
    window_->installEventFilter(new QuitOnClose(
        [this] {
            if (window_) quit();
        },
        window_.get()));
    auto* layout = new QHBoxLayout(window_.get());
    layout->setSizeConstraint(QLayout::SetFixedSize);
    windowIcon_ = new QLabel(window_.get());
    windowButton_ = new QPushButton("Morvane", window_.get());
    windowButton_->setMenu(&menu_);
    // Wide enough that a window manager's title bar shows the whole title
    // beside its buttons, not "M…".
    const int titleRoom = window_->fontMetrics().horizontalAdvance(window_->windowTitle()) + 160;
    windowButton_->setMinimumWidth(std::max(200, titleRoom));
    layout->addWidget(windowIcon_);
    layout->addWidget(windowButton_);
    window_->show();
    showIcon(icon_);
}

void TrayUi::closeWindow() {
    std::unique_ptr<QWidget> window = std::move(window_);
    windowButton_ = nullptr;
    windowIcon_ = nullptr;
    window.reset();
}

QIcon TrayUi::drawIcon(const IconState& icon) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // The same small monitor in every state, so the owner always finds it;
    // what is going on shows as a badge on its lower right corner.
    const QColor ink(40, 40, 40);
    p.setPen(QPen(ink, 5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(monitorFrame(), 4, 4);
    p.drawLine(26, 46, 26, 54);
    p.drawLine(14, 56, 38, 56);
    if (icon.symbol == "display") return QIcon(pixmap);

    const QPointF centre(48, 46);
    constexpr qreal radius = 14;
    // A clear ring keeps the badge apart from the monitor's lines.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawEllipse(centre, radius + 3, radius + 3);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QColor fill(90, 90, 90);
    if (icon.symbol == "exclamationmark.triangle") fill = QColor(214, 120, 0);
    else if (icon.symbol == "record.circle.fill" || icon.red) fill = QColor(220, 40, 40);
    else if (icon.symbol == "checkmark.circle") fill = QColor(40, 160, 70);
    p.setBrush(fill);
    p.drawEllipse(centre, radius, radius);
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    const qreal x = centre.x(), y = centre.y();
    if (icon.symbol == "exclamationmark.triangle") {
        p.drawLine(QPointF(x, y - 7), QPointF(x, y + 2));
        p.drawPoint(QPointF(x, y + 8));
    } else if (icon.symbol == "pause.circle") {
        p.drawLine(QPointF(x - 4, y - 6), QPointF(x - 4, y + 6));
        p.drawLine(QPointF(x + 4, y - 6), QPointF(x + 4, y + 6));
    } else if (icon.symbol == "record.circle.fill") {
        p.setPen(Qt::NoPen);
        p.drawEllipse(centre, 5, 5);
    } else if (icon.symbol == "checkmark.circle") {
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({QPointF(x - 7, y), QPointF(x - 2, y + 5), QPointF(x + 7, y - 5)}));
    }
    p.end();
    return QIcon(pixmap);
}

QRectF TrayUi::monitorFrame() { return QRectF(4, 8, 52, 36); }

QPoint TrayUi::menuPlace(const QRect& icon, const QPoint& pointer, const QSize& menu, const QRect& screen) {
    constexpr int pointerMargin = 6;
    const QRect anchor = icon.isEmpty() ? QRect(pointer, QSize(1, 1)).adjusted(-pointerMargin, -pointerMargin,
                                                                               pointerMargin, pointerMargin)
                                        : icon;
    const int below = screen.bottom() - anchor.bottom();
    const int above = anchor.top() - screen.top();
    int y = anchor.bottom() + 1;
    if (menu.height() > below && (menu.height() <= above || above > below)) y = anchor.top() - menu.height();
    // A menu taller than both sides is kept on the screen; only then may it
    // reach over the icon.
    y = std::clamp(y, screen.top(), std::max(screen.top(), screen.bottom() + 1 - menu.height()));
    const int x = std::clamp(anchor.left(), screen.left(), std::max(screen.left(), screen.right() + 1 - menu.width()));
    return {x, y};
}

void TrayUi::iconActivated(QSystemTrayIcon::ActivationReason why) {
    // A double click is two presses: the first opens the menu, the second
    // closes it; the double click itself chooses nothing.
    if (why != QSystemTrayIcon::Trigger && why != QSystemTrayIcon::Context) return;
    if (menu_.isVisible()) {
        menu_.hide();
        return;
    }
    const QRect icon = tray_ ? tray_->geometry() : QRect();
    const QPoint pointer = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(icon.isEmpty() ? pointer : icon.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    // The part of the screen no panel takes, as the window manager reports
    // it: the menu must fit beside the icon within it.
    const QRect area = screen ? screen->availableGeometry() : QRect(pointer, QSize(1, 1));
    const QRect anchor = icon.isEmpty() ? QRect(pointer, QSize(1, 1)) : icon;
    fillToFit(std::max({area.bottom() - anchor.bottom(), anchor.top() - area.top(), 1}));
    filled_ = true;
    menu_.popup(menuPlace(icon, pointer, menu_.sizeHint(), area));
}

void TrayUi::showIcon(const IconState& icon) {
    icon_ = icon;
    if (tray_) {
        tray_->setIcon(drawIcon(icon));
        tray_->setToolTip(text(icon.tooltip));
    }
    if (window_) {
        windowIcon_->setPixmap(drawIcon(icon).pixmap(24, 24));
        window_->setToolTip(text(icon.tooltip));
        windowButton_->setText(text(icon.tooltip));
    }
}

void TrayUi::rebuild() {
    QScreen* screen = menu_.screen() ? menu_.screen() : QGuiApplication::primaryScreen();
    fillToFit(screen ? screen->availableGeometry().height() : std::numeric_limits<int>::max());
}

void TrayUi::fillToFit(int room) {
    const auto items = build_();
    const int most = maxFoldLevel(items);
    for (int level = 0;; ++level) {
        menu_.clear();
        fill(&menu_, foldMenu(items, level));
        if (level >= most || fitsInOneColumn(room)) return;
    }
}

bool TrayUi::fitsInOneColumn(int room) {
    if (menu_.sizeHint().height() > room) return false;
    // Qt splits a menu taller than its screen into columns of its own.
    std::optional<int> left;
    for (QAction* action : menu_.actions()) {
        if (!action->isVisible()) continue;
        const int x = menu_.actionGeometry(action).left();
        if (left && *left != x) return false;
        left = x;
    }
    return true;
}

void TrayUi::fill(QMenu* into, const std::vector<MenuItem>& items) {
    for (const auto& item : items) {
        switch (item.kind) {
            case MenuItem::Kind::separator:
                into->addSeparator();
                continue;
            case MenuItem::Kind::header:
                into->addSection(text(item.title));
                continue;
            case MenuItem::Kind::warning: {
                // A problem line: disabled, drawn in red.
                auto* label = new QLabel(text(item.title));
                label->setStyleSheet("QLabel { color: #d42a2a; padding: 3px 20px; }");
                auto* action = new QWidgetAction(into);
                action->setDefaultWidget(label);
                action->setText(text(item.title));
                action->setEnabled(false);
                into->addAction(action);
                continue;
            }
            case MenuItem::Kind::item:
                break;
        }
        if (!item.submenu.empty()) {
            QMenu* sub = into->addMenu(text(item.title));
            sub->setEnabled(item.enabled);
            fill(sub, item.submenu);
            continue;
        }
        QAction* action = into->addAction(text(item.title));
        action->setEnabled(item.enabled);
        if (item.check != MenuItem::Check::none) {
            action->setCheckable(true);
            action->setChecked(item.check != MenuItem::Check::off);
            if (item.check == MenuItem::Check::mixed) action->setText(text(item.title) + " (waiting)");
        }
        if (item.action != MenuAction::none) {
            const MenuAction what = item.action;
            const std::string payload = item.payload;
            // Queued, so the menu has closed before the action runs.
            QObject::connect(action, &QAction::triggered, &menu_, [this, what, payload] {
                QMetaObject::invokeMethod(
                    &menu_, [this, what, payload] { perform_(what, payload); }, Qt::QueuedConnection);
            });
        }
    }
}

ModalResponse TrayUi::runModal(const AlertText& alert) {
    QMessageBox box;
    box.setWindowTitle("Morvane");
    box.setText(text(alert.message));
    box.setInformativeText(text(alert.informative));
    // Names, addresses and relay answers inside are never read as markup.
    box.setTextFormat(Qt::PlainText);
    if (auto* informative = box.findChild<QLabel*>("qt_msgbox_informativelabel"))
        informative->setTextFormat(Qt::PlainText);
    // The first button acts, the last changes nothing, any between is an
    // action of its own ("Send a New Code"). Escape and the window's close
    // (its ×, Alt+F4, a quit asking every window to close) press the last:
    // Qt finds no escape button among several that reject, and would then
    // ignore both and refuse the quit.
    std::vector<QAbstractButton*> buttons;
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        const bool last = i + 1 == alert.buttons.size();
        const auto role = i == 0 ? QMessageBox::AcceptRole : last ? QMessageBox::RejectRole : QMessageBox::ActionRole;
        buttons.push_back(box.addButton(text(alert.buttons[i]), role));
    }
    if (!buttons.empty()) {
        box.setDefaultButton(static_cast<QPushButton*>(alert.firstIsDefault ? buttons.front() : buttons.back()));
        box.setEscapeButton(buttons.back());
    }
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    // Typed text is shown and read back as plain text.
    QLineEdit* field = nullptr;
    if (alert.field) {
        field = new QLineEdit(&box);
        field->setText(text(alert.field->text));
        field->setPlaceholderText(text(alert.field->placeholder));
        field->setAccessibleName(text(alert.field->accessibilityLabel));
        field->setMinimumWidth(300);
        // The field goes where the buttons were and the buttons under it,
        // as in every dialog: typing comes before choosing.
        if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
            auto* buttonRow = box.findChild<QDialogButtonBox*>();
            const int at = buttonRow ? grid->indexOf(buttonRow) : -1;
            if (at >= 0) {
                int row = 0, column = 0, rows = 0, columns = 0;
                grid->getItemPosition(at, &row, &column, &rows, &columns);
                grid->removeWidget(buttonRow);
                grid->addWidget(field, row, 0, 1, grid->columnCount());
                grid->addWidget(buttonRow, row + 1, column, rows, columns);
            } else {
                grid->addWidget(field, grid->rowCount(), 0, 1, grid->columnCount());
            }
        }
        field->setFocus();
    }
    alert_ = &box;
    box.show();
    box.raise();
    box.activateWindow();
    const int code = box.exec();
    alert_ = nullptr;
    fieldText_ = field ? field->text().toStdString() : std::string();
    if (code == abortCode) return ModalResponse::abort;
    QAbstractButton* clicked = box.clickedButton();
    constexpr ModalResponse answers[] = {ModalResponse::firstButton, ModalResponse::secondButton,
                                         ModalResponse::thirdButton};
    for (std::size_t i = 0; i < buttons.size() && i < std::size(answers); ++i)
        if (buttons[i] == clicked) return answers[i];
    return ModalResponse::abort;
}

void TrayUi::abortAlert() {
    if (alert_) alert_->done(abortCode);
}

void TrayUi::showNotice(const AlertText& alert) {
    QMessageBox box;
    box.setWindowTitle("Morvane");
    box.setText(text(alert.message));
    box.setInformativeText(text(alert.informative));
    box.addButton(text(alert.buttons.empty() ? std::string("OK") : alert.buttons.front()), QMessageBox::AcceptRole);
    box.exec();
}

std::vector<std::filesystem::path> TrayUi::chooseFiles() {
    QFileDialog dialog(nullptr, "Morvane");
    // Where files to send usually are, never the folder the host happened to
    // be started from.
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    dialog.setDirectory(!downloads.isEmpty() && QDir(downloads).exists() ? downloads : QDir::homePath());
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setLabelText(QFileDialog::Accept, "Add to Outbox");
    dialog.setLabelText(QFileDialog::LookIn,
                        "Choose files to make available to your paired devices. Copies go to Downloads, Morvane, "
                        "Outbox.");
    std::vector<std::filesystem::path> chosen;
    if (dialog.exec() != QDialog::Accepted) return chosen;
    for (const QString& file : dialog.selectedFiles()) chosen.emplace_back(file.toStdString());
    return chosen;
}

void TrayUi::copyText(const std::string& value) { QGuiApplication::clipboard()->setText(text(value)); }

void TrayUi::openLocation(const std::string& where) {
    const QUrl url = where.rfind("http", 0) == 0 ? QUrl(text(where)) : QUrl::fromLocalFile(text(where));
    if (!url.isValid()) return;
    // The desktop's opener, on /dev/null: a browser or file manager must
    // not write into the terminal the host was started from, nor hold it.
    const std::string target = url.toString(QUrl::FullyEncoded).toStdString();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args{const_cast<char*>("xdg-open"), const_cast<char*>(target.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "xdg-open", &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return;
    reapWhenDone(background_, pid);
}

void TrayUi::quit() {
    if (quit_) quit_();
}

}  // namespace morvane
