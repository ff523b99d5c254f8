// The parts both guide windows are made of: the window that hosts a
// rebuilt content widget, the action button, the step mark, detail lines
// and small painted symbols. Private to src/guide's Qt files.
#pragma once

#include <QPushButton>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "guide/guide_panel.h"
#include "guide/guide_texts.h"

class QHBoxLayout;
class QLabel;
class QScreen;
class QScrollArea;
class QVBoxLayout;

namespace morvane::guide_qt {

enum class TextStyle { body, callout, caption, headline, title2, title3, largeTitle };
QLabel* label(const std::string& text, TextStyle style, bool secondary = false, QWidget* parent = nullptr);
void setWeight(QLabel* label, int weight);

// What one build hands the window besides its scrolled part: the button
// answering Return, the foot kept in view under the scrolled part (the
// window's closing buttons), and a part that is scrolled into view when it
// first appears (a section just unfolded).
struct BuildContext {
    QPushButton* defaultButton = nullptr;
    QWidget* footer = nullptr;
    QWidget* reveal = nullptr;
};

QPushButton* actionButton(const GuideButton& button, bool prominent, const std::optional<std::string>& spoken,
                          GuideState& state, BuildContext& context);

class StepMark final : public QWidget {
public:
    StepMark(std::optional<int> number, bool done, int size, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    std::optional<int> number_;
    bool done_;
    int size_;
};

QWidget* detailLines(const std::vector<std::string>& lines);

// One line of text that never wraps (an address): cut in the middle with an
// ellipsis when wider than `maxWidth`, the whole text kept as its tooltip,
// accessible name and selection.
QLabel* addressLine(const std::string& text, TextStyle style, int weight, int maxWidth);

// A widget laid out in a column or a row with the given spacing and an
// equal margin all round.
QVBoxLayout* columnLayout(QWidget* widget, int spacing, int margin = 0);
QHBoxLayout* rowLayout(QWidget* widget, int spacing, int margin = 0);
QWidget* divider();
// A row of widgets; a null entry stands for flexible space.
QWidget* lineOf(std::initializer_list<QWidget*> items, int spacing);
// A button that is never the default one.
QPushButton* plainButton(const char* title, std::function<void()> pressed);

enum class Symbol { monitor, lightbulb, check };
QWidget* symbol(Symbol which, int size, QWidget* parent = nullptr);

// A box on a faint rounded fill, used for steps and the relay box.
QWidget* roundedBox(QWidget* parent = nullptr);

// The top-level window of a guide panel. The content is made afresh by
// `build` whenever the panel's state publishes a change.
class GuideQtWindow final : public QWidget, public GuideWindow {
public:
    using Build = std::function<QWidget*(GuideState&, BuildContext&)>;
    GuideQtWindow(const std::shared_ptr<GuidePanel>& panel, int width, Build build);
    ~GuideQtWindow() override;

    bool isVisible() const override { return QWidget::isVisible(); }
    void centre() override;
    void bringToFront() override;
    void closeNow() override { QWidget::close(); }
    void performClose() override { QWidget::close(); }

    void rebuild();

    // The window's size for the available area of its screen: the whole
    // content when it fits, else the foot stays and the rest scrolls. Then
    // the window is moved wholly into that area.
    void fitToScreen();
    QScrollArea* scrollArea() const { return scroll_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QScreen* targetScreen() const;
    // The window manager has drawn its frame and reports it.
    bool framed() const;
    // The frame's height above and below the window: as drawn once it is,
    // a title bar's allowance until then.
    int frameHeight() const;
    void keepOnScreen();

    std::weak_ptr<GuidePanel> panel_;
    int width_;
    Build build_;
    QVBoxLayout* layout_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* content_ = nullptr;
    QWidget* footer_ = nullptr;
    BuildContext context_;
    bool watchingHandle_ = false;
};

}  // namespace morvane::guide_qt
