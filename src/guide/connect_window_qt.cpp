// The Connect a Device window: the relay page address with its QR code and
// copy button, the relay box, the set-up steps, the app line and, folded
// away, the tailnet address.
#include <QApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "guide/guide_texts.h"
#include "guide/guide_widgets_qt.h"
#include "guide/guide_windows_qt.h"
#include "guide/qr_code.h"

namespace morvane {

namespace {

using namespace guide_qt;

// The code on a white rounded card, drawn at half its pixel size so every
// module covers a whole number of pixels and nothing is smoothed. A picture
// label, so accessibility tools meet it as an image with a name.
QLabel* qrCodeView(const QRImage::Fitted& code, qreal opacity, const std::string& address) {
    const QImage image = QImage(code.image.pixels.data(), code.image.side, code.image.side, code.image.side,
                                QImage::Format_Grayscale8)
                             .copy();
    const int points = code.points;
    const QSize size(points + 20, points + 20);
    const qreal ratio = qApp->devicePixelRatio();
    // Card and code are drawn whole first, so fading them fades the picture
    // as one rather than each layer over the other.
    QPixmap layer(size * ratio);
    layer.setDevicePixelRatio(ratio);
    layer.fill(Qt::transparent);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath card;
        card.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)).adjusted(0.5, 0.5, -0.5, -0.5), 14, 14);
        p.fillPath(card, Qt::white);
        p.setPen(QPen(QColor(0, 0, 0, 20), 1));
        p.drawPath(card);
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.setRenderHint(QPainter::Antialiasing, false);
        p.drawImage(QRect(10, 10, points, points), image);
    }
    QPixmap faded(size * ratio);
    faded.setDevicePixelRatio(ratio);
    faded.fill(Qt::transparent);
    {
        QPainter out(&faded);
        out.setOpacity(opacity);
        out.drawPixmap(0, 0, layer);
    }
    auto* view = new QLabel;
    view->setPixmap(faded);
    view->setFixedSize(size);
    view->setAccessibleName(QString::fromStdString("QR code for " + address));
    return view;
}

QPushButton* copyButton(const std::string& text, const std::string& spoken, GuideState& state) {
    const bool copied = state.copiedText() == text;
    auto* b = new QPushButton(QString::fromStdString(copied ? std::string("\u2713 ") + GuideTexts::copied
                                                              : std::string(GuideTexts::copy)));
    b->setAccessibleName(QString::fromStdString(copied ? GuideTexts::copiedSpoken : spoken));
    b->setAutoDefault(false);
    QObject::connect(b, &QPushButton::clicked, [&state, text] {
        state.perform(GuideAction::copy(text));
        state.markCopied(text);
    });
    return b;
}

QWidget* relayBox(GuideState& state, BuildContext& context) {
    const GuideSnapshot& s = state.snapshot();
    const auto panel = ConnectGuide::relayPanel(s.relay, s.gate);
    const auto primary = ConnectGuide::primaryButton(s.relay, s.gate);
    const auto note = ConnectGuide::gateNote(s.gate);

    auto* box = roundedBox();
    auto* column = columnLayout(box, 8, 12);

    auto* top = new QWidget;
    auto* topRow = rowLayout(top, 10);
    topRow->addWidget(new StepMark(std::nullopt, std::holds_alternative<relay_status::Ready>(s.relay), 18),
                      0, Qt::AlignTop);
    auto lines = panel.lines;
    if (note) lines.push_back(*note);
    topRow->addWidget(detailLines(lines), 1);
    column->addWidget(top);

    if (s.addedName) {
        auto* added = label(GuideTexts::added(*s.addedName), TextStyle::callout);
        setWeight(added, QFont::Medium);
        QPalette pal = added->palette();
        pal.setColor(QPalette::WindowText, QColor(36, 138, 61));
        added->setPalette(pal);
        auto* addedRow = lineOf({symbol(Symbol::check, 16), added}, 6);
        addedRow->setAccessibleName(QString::fromStdString(GuideTexts::added(*s.addedName)));
        column->addWidget(addedRow);
    }
    column->addWidget(lineOf({nullptr, actionButton(primary, primary.enabled, std::nullopt, state, context)}, 0));
    return box;
}

constexpr int connectWidth = 440;

QWidget* buildConnect(GuideState& state, BuildContext& context) {
    constexpr int width = connectWidth;
    constexpr int margin = 20;
    const GuideSnapshot& s = state.snapshot();
    const std::string pageURL = ConnectGuide::relayPageURL(s.address);
    const bool relayFirst = ConnectGuide::relayFirst(s.relay);
    const auto tailnet = ConnectGuide::tailscalePanel(s.tailscale, s.gate);

    auto* content = new QWidget;
    auto* column = columnLayout(content, 12);
    column->setContentsMargins(margin, 16, margin, 10);

    auto* lede = label(GuideTexts::connectLede, TextStyle::title3);
    lede->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    column->addWidget(lede);

    if (relayFirst) column->addWidget(relayBox(state, context));

    auto* code = new QWidget;
    auto* codeColumn = columnLayout(code, 8);
    if (auto made = QRCache::shared().code(pageURL))
        codeColumn->addWidget(qrCodeView(*made, relayFirst ? 0.25 : 1.0, s.address), 0, Qt::AlignHCenter);
    if (relayFirst) {
        auto* first = label(GuideTexts::setUpFirst, TextStyle::callout, true);
        first->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        codeColumn->addWidget(first);
    }
    // A long address is cut in the middle rather than pushing its button
    // out of the window.
    auto* copyAddress = copyButton(pageURL, GuideTexts::copySpoken, state);
    auto* address = addressLine(pageURL, TextStyle::title2, QFont::DemiBold,
                                width - 2 * margin - copyAddress->sizeHint().width() - 10);
    codeColumn->addWidget(lineOf({nullptr, address, copyAddress, nullptr}, 10));
    column->addWidget(code);

    auto* app = new QWidget;
    auto* appColumn = columnLayout(app, 4);
    auto* appLine = label(s.appStoreURL ? GuideTexts::appLine : GuideTexts::appLineSoon, TextStyle::callout, true);
    appLine->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    appColumn->addWidget(appLine);
    if (s.appStoreURL) {
        auto* link = new QPushButton(GuideTexts::appStoreLink);
        link->setFlat(true);
        link->setAutoDefault(false);
        const QUrl url(QString::fromStdString(*s.appStoreURL));
        QObject::connect(link, &QPushButton::clicked, [url] { QDesktopServices::openUrl(url); });
        appColumn->addWidget(link, 0, Qt::AlignHCenter);
    }
    column->addWidget(app);

    auto* steps = new QWidget;
    auto* stepsColumn = columnLayout(steps, 6);
    const auto texts = ConnectGuide::setUpSteps(s.relay, s.address);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        auto* number = label(std::to_string(i + 1) + ".", TextStyle::callout, true);
        setWeight(number, QFont::DemiBold);
        number->setWordWrap(false);
        number->setAlignment(Qt::AlignTop | Qt::AlignRight);
        number->setFixedWidth(number->sizeHint().width() + 2);
        auto* text = label(texts[i], TextStyle::callout);
        auto* r = new QWidget;
        auto* l = rowLayout(r, 10);
        l->addWidget(number, 0, Qt::AlignTop);
        l->addWidget(text, 1);
        r->setAccessibleName(QString::fromStdString("Step " + std::to_string(i + 1) + " of 3: " + texts[i]));
        stepsColumn->addWidget(r);
    }
    column->addWidget(steps);

    if (!relayFirst) column->addWidget(relayBox(state, context));

    auto* disclosure = new QToolButton;
    disclosure->setText(GuideTexts::advanced);
    disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    disclosure->setArrowType(state.advancedOpen() ? Qt::DownArrow : Qt::RightArrow);
    disclosure->setAutoRaise(true);
    disclosure->setCheckable(true);
    disclosure->setChecked(state.advancedOpen());
    QObject::connect(disclosure, &QToolButton::toggled, [&state](bool open) { state.setAdvancedOpen(open); });
    column->addWidget(disclosure);
    if (state.advancedOpen()) {
        auto* advanced = new QWidget;
        auto* a = new QVBoxLayout(advanced);
        a->setContentsMargins(0, 4, 0, 0);
        a->setSpacing(8);
        a->addWidget(label(tailnet.line, TextStyle::callout, true));
        if (tailnet.address) {
            auto* copy = copyButton(*tailnet.address, GuideTexts::copyTailnetSpoken, state);
            auto* host = addressLine(*tailnet.address, TextStyle::callout, QFont::Medium,
                                     width - 2 * margin - copy->sizeHint().width() - 10);
            a->addWidget(lineOf({host, copy, nullptr}, 10));
        }
        if (tailnet.button)
            a->addWidget(lineOf({actionButton(*tailnet.button, false, std::nullopt, state, context), nullptr}, 0));
        column->addWidget(advanced);
        context.reveal = advanced;
    }

    // "Done" stays in view below the part that may scroll.
    auto* footer = new QWidget;
    auto* f = columnLayout(footer, 10);
    f->setContentsMargins(margin, 0, margin, 14);
    f->addWidget(divider());
    f->addWidget(lineOf({nullptr, plainButton(GuideTexts::done, [&state] { state.close(); })}, 0));
    context.footer = footer;
    return content;
}

}  // namespace

QWidget* makeConnectWindow(const std::shared_ptr<GuidePanel>& panel) {
    return new GuideQtWindow(panel, connectWidth, buildConnect);
}

}  // namespace morvane
