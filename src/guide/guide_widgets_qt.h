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
class QVBoxLayout;

namespace morvane::guide_qt {

enum class TextStyle { body, callout, caption, headline, title2, title3, largeTitle };
QLabel* label(const std::string& text, TextStyle style, bool secondary = false, QWidget* parent = nullptr);
void setWeight(QLabel* label, int weight);

// Remembers which button answers Return while one content is shown.
struct BuildContext {
    QPushButton* defaultButton = nullptr;
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

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::weak_ptr<GuidePanel> panel_;
    int width_;
    Build build_;
    QVBoxLayout* layout_ = nullptr;
    QWidget* content_ = nullptr;
    BuildContext context_;
};

}  // namespace morvane::guide_qt
