// The status icon and its menu on the desktop's tray, and the owner's
// alerts. The menu is thrown away and rebuilt from the shell each time it
// opens. While the desktop has no tray, a small status window offers the
// same menu, so the owner is never locked out; a tray that comes later (a
// panel started after the programs of the login) takes the icon in, and
// the window goes.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QElapsedTimer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/menu_model.h"
#include "app/shell.h"
#include "core/executor.h"

class QMessageBox;
class QPushButton;
class QLabel;

namespace morvane {

class TrayUi final : public ShellUi {
public:
    // `menu` builds the items; `perform` carries out a chosen one. Openers
    // started for the owner are reaped on `background`, which must outlive
    // the tray.
    TrayUi(std::function<std::vector<MenuItem>()> menu, std::function<void(MenuAction, const std::string&)> perform,
           std::function<void()> quit, Executor& background);
    ~TrayUi() override;

    // Shows the tray icon, and the status window while there is no tray;
    // from then on follows the tray as it comes and goes.
    void start();
    // The menu is under the icon in a tray, with no status window.
    bool usesTray() const { return tray_ && !window_; }
    // The status window while there is no tray (closing it quits), else null.
    QWidget* statusWindow() const { return window_.get(); }
    QMenu* menu() { return &menu_; }
    // The icon, docked whenever a tray is there; null before start().
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    const IconState& icon() const { return icon_; }

    void showIcon(const IconState& icon) override;
    ModalResponse runModal(const AlertText& alert) override;
    std::string fieldText() const override { return fieldText_; }
    void abortAlert() override;
    void showNotice(const AlertText& alert) override;
    std::vector<std::filesystem::path> chooseFiles() override;
    void copyText(const std::string& text) override;
    void openLocation(const std::string& urlOrPath) override;
    void quit() override;

    // The image of an icon state, drawn here since the symbols are our own:
    // the monitor, with the state's symbol as a badge unless it is the plain
    // "display".
    static QIcon drawIcon(const IconState& icon);
    // Where the monitor's screen lies in the 64-pixel image.
    static QRectF monitorFrame();

    // Where the menu's top-left corner goes for an icon at `icon` on a
    // screen `screen`: below the icon, or above it when there is no room
    // below, so that no item lies under the icon and a second click on the
    // icon lands on the icon. An empty `icon` (a tray that does not tell)
    // is taken as a small square around `pointer`.
    static QPoint menuPlace(const QRect& icon, const QPoint& pointer, const QSize& menu, const QRect& screen);

    // Fills the menu for `room` pixels of height: folded as little as lets
    // it stand in one column within them.
    void fillToFit(int room);
    // The menu as filled lies in one column no taller than `room`.
    bool fitsInOneColumn(int room);

private:
    void followTray();
    void openWindow();
    void closeWindow();
    void rebuild();
    void iconActivated(QSystemTrayIcon::ActivationReason why);
    void fill(QMenu* into, const std::vector<MenuItem>& items);

    std::function<std::vector<MenuItem>()> build_;
    std::function<void(MenuAction, const std::string&)> perform_;
    std::function<void()> quit_;
    Executor& background_;
    QMenu menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<QWidget> window_;
    QPushButton* windowButton_ = nullptr;
    QLabel* windowIcon_ = nullptr;
    QTimer trayCheck_;
    // Since when no tray has been seen, while the icon is meant to be in one.
    std::optional<QElapsedTimer> trayMissing_;
    QPointer<QMessageBox> alert_;
    // The menu was just filled for a placed popup: its opening need not
    // fill it again.
    bool filled_ = false;
    std::string fieldText_;
    IconState icon_;
};

}  // namespace morvane
