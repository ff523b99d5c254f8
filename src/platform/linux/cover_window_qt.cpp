#include "platform/linux/cover_window_qt.h"

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace morvane {

namespace {

class QtCoverWindow final : public CoverWindow {
public:
    QtCoverWindow(const Rect& frame, const std::string& text) {
        window_ = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                           Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus |
                                           Qt::WindowTransparentForInput);
        window_->setAttribute(Qt::WA_ShowWithoutActivating);
        window_->setAttribute(Qt::WA_TransparentForMouseEvents);
        window_->setAutoFillBackground(true);
        QPalette palette = window_->palette();
        palette.setColor(QPalette::Window, Qt::black);
        palette.setColor(QPalette::WindowText, QColor(255, 255, 255, static_cast<int>(0.6 * 255)));
        window_->setPalette(palette);
        auto* layout = new QVBoxLayout(window_);
        label_ = new QLabel(QString::fromStdString(text), window_);
        label_->setAlignment(Qt::AlignCenter);
        layout->addWidget(label_, 0, Qt::AlignCenter);
        setFrame(frame);
        // A native window now, so the capture can be told its number while
        // nothing is on screen yet.
        number_ = static_cast<unsigned long>(window_->winId());
    }
    ~QtCoverWindow() override {
        window_->hide();
        delete window_;
    }
    unsigned long windowNumber() const override { return number_; }
    void makeOpaque() override {
        window_->show();
        window_->raise();
    }
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& frame) override {
        frame_ = frame;
        window_->setGeometry(static_cast<int>(frame.x), static_cast<int>(frame.y), static_cast<int>(frame.width),
                             static_cast<int>(frame.height));
        QFont font = label_->font();
        font.setPixelSize(coverTextPixels(frame.height));
        label_->setFont(font);
    }
    void raise() override { window_->raise(); }

private:
    QWidget* window_ = nullptr;
    QLabel* label_ = nullptr;
    Rect frame_;
    unsigned long number_ = 0;
};

}  // namespace

int coverTextPixels(double screenHeight) {
    return static_cast<int>(std::max(17.0, std::min(28.0, std::floor(screenHeight / 50.0))));
}

CoverMaker makeQtCoverMaker() {
    return [](const Rect& frame, const std::string& text) -> std::unique_ptr<CoverWindow> {
        return std::make_unique<QtCoverWindow>(frame, text);
    };
}

}  // namespace morvane
