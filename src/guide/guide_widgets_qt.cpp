#include "guide/guide_widgets_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

namespace morvane::guide_qt {

namespace {

qreal pointSize(TextStyle style) {
    const qreal base = QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF() : 10.0;
    switch (style) {
        case TextStyle::body:
            return base;
        case TextStyle::callout:
            return base * 0.95;
        case TextStyle::caption:
            return base * 0.85;
        case TextStyle::headline:
            return base * 1.05;
        case TextStyle::title2:
            return base * 1.45;
        case TextStyle::title3:
            return base * 1.3;
        case TextStyle::largeTitle:
            return base * 1.8;
    }
    return base;
}

QColor secondaryColour(const QWidget* widget) {
    QColor c = widget ? widget->palette().color(QPalette::WindowText) : QColor(Qt::black);
    c.setAlphaF(0.62);
    return c;
}

}  // namespace

QLabel* label(const std::string& text, TextStyle style, bool secondary, QWidget* parent) {
    auto* l = new QLabel(parent);
    // Set before wrapping, which marks the policy as height-for-width: a
    // wrapped line then takes the height its text needs at its width.
    l->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    // Device names, e-mail addresses and tool output are never rich text.
    l->setTextFormat(Qt::PlainText);
    l->setText(QString::fromStdString(text));
    l->setWordWrap(true);
    // Extra height a wrapped label is given stays below its text.
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont f = l->font();
    f.setPointSizeF(pointSize(style));
    if (style == TextStyle::headline) f.setWeight(QFont::DemiBold);
    if (style == TextStyle::largeTitle) f.setWeight(QFont::Bold);
    l->setFont(f);
    if (secondary) {
        QPalette pal = l->palette();
        pal.setColor(QPalette::WindowText, secondaryColour(l));
        l->setPalette(pal);
    }
    return l;
}

void setWeight(QLabel* l, int weight) {
    QFont f = l->font();
    f.setWeight(static_cast<QFont::Weight>(weight));
    l->setFont(f);
}

QPushButton* actionButton(const GuideButton& button, bool prominent, const std::optional<std::string>& spoken,
                          GuideState& state, BuildContext& context) {
    auto* b = new QPushButton(QString::fromStdString(button.title));
    b->setEnabled(button.enabled);
    b->setAccessibleName(QString::fromStdString(spoken.value_or(button.title)));
    b->setMinimumHeight(30);
    const GuideAction action = button.action;
    QObject::connect(b, &QPushButton::clicked, [&state, action] { state.perform(action); });
    if (prominent && button.enabled) {
        b->setDefault(true);
        QPalette pal = b->palette();
        pal.setColor(QPalette::Button, pal.color(QPalette::Highlight));
        pal.setColor(QPalette::ButtonText, pal.color(QPalette::HighlightedText));
        b->setPalette(pal);
        b->setAutoFillBackground(true);
        QFont f = b->font();
        f.setWeight(QFont::DemiBold);
        b->setFont(f);
        context.defaultButton = b;
    }
    return b;
}

StepMark::StepMark(std::optional<int> number, bool done, int size, QWidget* parent)
    : QWidget(parent), number_(number), done_(done), size_(size) {
    setFixedSize(size, size);
    setAccessibleName(done ? GuideTexts::done : GuideTexts::notDone);
}

namespace {

// A white tick on a green disc filling a square of side s.
void paintCheckDisc(QPainter& p, qreal s, const QColor& disc) {
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(QRectF(0.75, 0.75, s - 1.5, s - 1.5));
    p.setPen(QPen(Qt::white, std::max(1.5, s / 10.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(s * 0.28, s * 0.52);
    tick.lineTo(s * 0.44, s * 0.67);
    tick.lineTo(s * 0.72, s * 0.35);
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

}  // namespace

void StepMark::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(0.75, 0.75, size_ - 1.5, size_ - 1.5);
    if (done_) {
        paintCheckDisc(p, size_, QColor(52, 199, 89));
        return;
    }
    QColor ring = secondaryColour(this);
    ring.setAlphaF(0.6 * ring.alphaF());
    p.setPen(QPen(ring, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(r);
    if (number_) {
        QFont f = font();
        f.setPixelSize(std::max(6, size_ / 2));
        f.setWeight(QFont::DemiBold);
        p.setFont(f);
        p.setPen(secondaryColour(this));
        p.drawText(rect(), Qt::AlignCenter, QString::number(*number_));
    }
}

QVBoxLayout* columnLayout(QWidget* widget, int spacing, int margin) {
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(spacing);
    return layout;
}

QHBoxLayout* rowLayout(QWidget* widget, int spacing, int margin) {
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(spacing);
    return layout;
}

QWidget* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QWidget* lineOf(std::initializer_list<QWidget*> items, int spacing) {
    auto* w = new QWidget;
    auto* layout = rowLayout(w, spacing);
    for (auto* item : items) {
        if (item)
            layout->addWidget(item);
        else
            layout->addStretch(1);
    }
    return w;
}

QPushButton* plainButton(const char* title, std::function<void()> pressed) {
    auto* b = new QPushButton(title);
    b->setAutoDefault(false);
    b->setMinimumHeight(30);
    QObject::connect(b, &QPushButton::clicked, [pressed = std::move(pressed)] {
        if (pressed) pressed();
    });
    return b;
}

QWidget* detailLines(const std::vector<std::string>& lines) {
    auto* box = new QWidget;
    auto* layout = columnLayout(box, 3);
    for (const auto& line : lines) layout->addWidget(label(line, TextStyle::callout, true));
    layout->addStretch(1);
    return box;
}

QLabel* addressLine(const std::string& text, TextStyle style, int weight, int maxWidth) {
    auto* l = label(text, style);
    setWeight(l, weight);
    l->setWordWrap(false);
    const QString whole = QString::fromStdString(text);
    const QString shown = l->fontMetrics().elidedText(whole, Qt::ElideMiddle, maxWidth);
    l->setText(shown);
    l->setMaximumWidth(maxWidth);
    l->setToolTip(whole);
    l->setAccessibleName(whole);
    // A cut address is read from the tooltip or copied with its button:
    // selecting the shortened text would hand out a wrong address.
    if (shown == whole) l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

namespace {

class SymbolWidget final : public QWidget {
public:
    SymbolWidget(Symbol which, int size, QWidget* parent) : QWidget(parent), which_(which) { setFixedSize(size, size); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal s = width();
        switch (which_) {
            case Symbol::monitor: {
                p.setPen(QPen(palette().color(QPalette::WindowText), std::max(1.0, s / 12)));
                p.setBrush(Qt::NoBrush);
                p.drawRoundedRect(QRectF(s * 0.08, s * 0.14, s * 0.84, s * 0.56), s * 0.06, s * 0.06);
                p.drawLine(QPointF(s * 0.5, s * 0.7), QPointF(s * 0.5, s * 0.84));
                p.drawLine(QPointF(s * 0.3, s * 0.86), QPointF(s * 0.7, s * 0.86));
                break;
            }
            case Symbol::lightbulb: {
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(255, 204, 0));
                p.drawEllipse(QRectF(s * 0.2, s * 0.05, s * 0.6, s * 0.6));
                p.setBrush(QColor(150, 150, 150));
                p.drawRoundedRect(QRectF(s * 0.35, s * 0.66, s * 0.3, s * 0.24), s * 0.05, s * 0.05);
                break;
            }
            case Symbol::check:
                paintCheckDisc(p, s, QColor(40, 167, 69));
                break;
        }
    }

private:
    Symbol which_;
};

class RoundedBox final : public QWidget {
public:
    explicit RoundedBox(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor fill = palette().color(QPalette::WindowText);
        fill.setAlphaF(0.05);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(rect(), 10, 10);
    }
};

}  // namespace

QWidget* symbol(Symbol which, int size, QWidget* parent) { return new SymbolWidget(which, size, parent); }

QWidget* roundedBox(QWidget* parent) { return new RoundedBox(parent); }

namespace {

// The application is quitting: its windows close with it, which is not the
// owner closing them (a first run quit early still greets the next launch).
class QuitWatch final : public QObject {
public:
    bool quitting = false;

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (object == qApp && event->type() == QEvent::Quit) quitting = true;
        return false;
    }
};

QuitWatch& quitWatch() {
    static QuitWatch* watch = [] {
        auto* w = new QuitWatch;
        qApp->installEventFilter(w);
        return w;
    }();
    return *watch;
}

}  // namespace

namespace {

// Room kept above a window whose frame the window manager has not drawn yet
// (or does not report): a title bar of any common theme fits.
constexpr int titleAllowance = 40;

}  // namespace

GuideQtWindow::GuideQtWindow(const std::shared_ptr<GuidePanel>& panel, int width, Build build)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      panel_(panel),
      width_(width),
      build_(std::move(build)) {
    setWindowTitle(QString::fromStdString(panel->title()));
    setAttribute(Qt::WA_DeleteOnClose, false);
    layout_ = columnLayout(this, 0);
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    layout_->addWidget(scroll_);
    panel->attach(this);
    std::weak_ptr<GuidePanel> weak = panel;
    panel->state().onPublish = [this, weak] {
        if (weak.lock()) rebuild();
    };
    quitWatch();
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, this, [weak](Qt::ApplicationState s) {
        if (s != Qt::ApplicationActive) return;
        if (auto p = weak.lock()) p->applicationActivated();
    });
    rebuild();
}

GuideQtWindow::~GuideQtWindow() {
    if (auto panel = panel_.lock()) {
        panel->attach(nullptr);
        panel->state().onPublish = nullptr;
    }
}

void GuideQtWindow::rebuild() {
    auto panel = panel_.lock();
    if (!panel) return;
    // The old content goes after this turn: a button being pressed may be
    // the reason for the rebuild. The scroll position survives it, so a
    // press far down does not throw the owner back to the top.
    const int scrolled = scroll_->verticalScrollBar()->value();
    const bool revealed = context_.reveal != nullptr;
    if (QWidget* old = scroll_->takeWidget()) {
        old->hide();
        old->deleteLater();
    }
    if (footer_) {
        layout_->removeWidget(footer_);
        footer_->hide();
        footer_->deleteLater();
        footer_ = nullptr;
    }
    context_ = {};
    content_ = build_(panel->state(), context_);
    scroll_->setWidget(content_);
    footer_ = context_.footer;
    if (footer_) layout_->addWidget(footer_);
    if (context_.defaultButton) context_.defaultButton->setFocus();
    fitToScreen();
    // The scroll range and the new parts' places are known once the layout
    // has run, on the next turn.
    QTimer::singleShot(0, this, [this, scrolled, reveal = QPointer<QWidget>(revealed ? nullptr : context_.reveal)] {
        scroll_->verticalScrollBar()->setValue(scrolled);
        if (reveal) scroll_->ensureWidgetVisible(reveal, 0, 0);
    });
}

QScreen* GuideQtWindow::targetScreen() const {
    QWindow* handle = windowHandle();
    QScreen* own = handle ? handle->screen() : nullptr;
    if (own && (QWidget::isVisible() || own != QGuiApplication::primaryScreen())) return own;
    // A window about to open goes where the owner is looking: the screen
    // under the pointer that chose it from the menu.
    if (QScreen* s = QGuiApplication::screenAt(QCursor::pos())) return s;
    return QGuiApplication::primaryScreen();
}

void GuideQtWindow::fitToScreen() {
    QScreen* s = targetScreen();
    if (!s || !content_) return;
    const QRect area = s->availableGeometry();
    // Wrapped lines take the height they need at the window's width, no
    // more: the natural height is asked for that width.
    content_->ensurePolished();
    int body = content_->hasHeightForWidth() ? content_->heightForWidth(width_) : -1;
    if (body < 0) body = content_->sizeHint().height();
    // The scroll area would otherwise size the content from its minimum
    // hint, which lays every wrapped line out at its narrowest.
    content_->setMinimumHeight(body);
    const int foot = footer_ ? footer_->sizeHint().height() : 0;
    const int room = std::max(area.height() - frameHeight(), foot + 80);
    int width = width_;
    int bodyHeight = body;
    if (body + foot > room) {
        bodyHeight = room - foot;
        width += style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_->verticalScrollBar());
        scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    } else {
        scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    if (footer_) footer_->setFixedWidth(width);
    setFixedSize(width, bodyHeight + foot);
    keepOnScreen();
}

void GuideQtWindow::keepOnScreen() {
    QScreen* s = targetScreen();
    if (!s) return;
    const QRect area = s->availableGeometry();
    QRect frame = frameGeometry();
    // Until the window manager has framed it, a title bar is assumed.
    if (!framed()) frame.setTop(frame.top() - titleAllowance);
    QPoint shift;
    if (frame.right() > area.right()) shift.rx() = area.right() - frame.right();
    if (frame.left() + shift.x() < area.left()) shift.rx() = area.left() - frame.left();
    if (frame.bottom() > area.bottom()) shift.ry() = area.bottom() - frame.bottom();
    if (frame.top() + shift.y() < area.top()) shift.ry() = area.top() - frame.top();
    if (!shift.isNull()) move(pos() + shift);
}

void GuideQtWindow::centre() {
    QScreen* s = targetScreen();
    if (!s) return;
    if (QWindow* handle = windowHandle())
        handle->setScreen(s);
    else
        setScreen(s);
    fitToScreen();
    const QRect area = s->availableGeometry();
    const int frameExtra = frameHeight();
    move(area.center().x() - width() / 2, area.center().y() - (height() + frameExtra) / 2 + frameExtra);
    keepOnScreen();
}

bool GuideQtWindow::framed() const { return frameGeometry() != geometry(); }

int GuideQtWindow::frameHeight() const {
    return framed() ? frameGeometry().height() - height() : titleAllowance;
}

void GuideQtWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // The window manager framed the window or placed it where it chose:
    // the frame it drew, not the place asked for, must lie in the work area.
    if (!QWidget::isVisible()) return;
    QTimer::singleShot(0, this, [this] {
        if (QWidget::isVisible()) fitToScreen();
    });
}

bool GuideQtWindow::eventFilter(QObject* watched, QEvent* event) {
    // Shown as the window manager drew it: its frame is known now, and the
    // window is fitted again with it.
    if (watched == windowHandle() && event->type() == QEvent::Expose)
        QTimer::singleShot(0, this, [this] {
            if (QWidget::isVisible()) fitToScreen();
        });
    return QWidget::eventFilter(watched, event);
}

void GuideQtWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (QWindow* handle = windowHandle(); handle && !watchingHandle_) {
        handle->installEventFilter(this);
        watchingHandle_ = true;
    }
    // The window manager's frame is known only once the window is up.
    QTimer::singleShot(0, this, [this] {
        if (QWidget::isVisible()) fitToScreen();
    });
}

void GuideQtWindow::bringToFront() {
    quitWatch().quitting = false;  // a quit that did not happen
    show();
    raise();
    activateWindow();
}

void GuideQtWindow::keyPressEvent(QKeyEvent* event) {
    const auto mods = event->modifiers();
    GuideKey key;
    key.escape = event->key() == Qt::Key_Escape && mods == Qt::NoModifier;
    key.control = mods & Qt::ControlModifier;
    key.shift = mods & Qt::ShiftModifier;
    key.alt = mods & Qt::AltModifier;
    key.meta = mods & Qt::MetaModifier;
    key.capsLock = false;
    if (event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z)
        key.text = std::string(1, static_cast<char>('a' + (event->key() - Qt::Key_A)));
    if (closesGuideWindow(key)) {
        performClose();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && mods == Qt::NoModifier) {
        if (context_.defaultButton && context_.defaultButton->isEnabled()) context_.defaultButton->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void GuideQtWindow::closeEvent(QCloseEvent* event) {
    if (QWidget::isVisible() && !quitWatch().quitting)
        if (auto panel = panel_.lock()) panel->windowWillClose();
    event->accept();
}

}  // namespace morvane::guide_qt
