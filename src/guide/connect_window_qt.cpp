// The Connect a Device window: the relay page address with its QR code and
// copy button, the relay box, the set-up steps, the app line and, folded
// away, the tailnet address.
#include <QApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QToolButton>
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
    const bool chosen = !s.address.empty();
    const auto panel = ConnectGuide::relayPanel(s.relay, s.gate, chosen);
    const auto primary = ConnectGuide::primaryButton(s.relay, s.gate, chosen);
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
constexpr int connectMargin = 20;

// The tailnet's line, its address with a copy button and its pairing
// button, as the tailnet's panel gives them.
QWidget* tailnetContent(GuideState& state, BuildContext& context, int topMargin) {
    const GuideSnapshot& s = state.snapshot();
    const auto tailnet = ConnectGuide::tailscalePanel(s.tailscale, s.gate);
    auto* content = new QWidget;
    auto* a = new QVBoxLayout(content);
    a->setContentsMargins(0, topMargin, 0, 0);
    a->setSpacing(8);
    a->addWidget(label(tailnet.line, TextStyle::callout, true));
    if (tailnet.address) {
        auto* copy = copyButton(*tailnet.address, GuideTexts::copyTailnetSpoken, state);
        auto* host = addressLine(*tailnet.address, TextStyle::callout, QFont::Medium,
                                 connectWidth - 2 * connectMargin - copy->sizeHint().width() - 10);
        a->addWidget(lineOf({host, copy, nullptr}, 10));
    }
    if (tailnet.button)
        a->addWidget(lineOf({actionButton(*tailnet.button, false, std::nullopt, state, context), nullptr}, 0));
    return content;
}

// The tailnet, folded away under its disclosure.
void addAdvanced(QVBoxLayout* column, GuideState& state, BuildContext& context) {
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
        auto* advanced = tailnetContent(state, context, 4);
        column->addWidget(advanced);
        context.reveal = advanced;
    }
}

// While no relay is chosen there is no page to open or code to scan: the
// window offers the roads that need no relay, the tailnet and a browser on
// this computer itself.
QWidget* otherRoads(GuideState& state, BuildContext& context) {
    const GuideSnapshot& s = state.snapshot();
    auto* box = roundedBox();
    auto* column = columnLayout(box, 10, 12);
    column->addWidget(label(GuideTexts::otherRoads, TextStyle::callout));
    column->addWidget(tailnetContent(state, context, 0));
    column->addWidget(divider());
    auto* local = label(ConnectGuide::thisComputerLine(s.localAddress), TextStyle::callout, true);
    column->addWidget(local);
    const GuideButton open{GuideTexts::openOnThisComputer, GuideAction::of(GuideAction::Kind::openOnThisComputer), true};
    const GuideButton pair{GuideTexts::pairOnThisComputer, GuideAction::of(GuideAction::Kind::pairDevice),
                           ConnectGuide::pairEnabled(s.gate)};
    // One button a line: side by side they are wider than the window. The
    // tailnet's pairing, when offered, pairs a browser here as well.
    column->addWidget(lineOf({actionButton(open, false, std::nullopt, state, context), nullptr}, 0));
    if (!ConnectGuide::tailscalePanel(s.tailscale, s.gate).button)
        column->addWidget(lineOf({actionButton(pair, false, std::nullopt, state, context), nullptr}, 0));
    return box;
}

QWidget* buildConnect(GuideState& state, BuildContext& context) {
    constexpr int width = connectWidth;
    constexpr int margin = connectMargin;
    const GuideSnapshot& s = state.snapshot();
    const bool chosen = !s.address.empty();
    const std::string pageURL = ConnectGuide::relayPageURL(s.address);
    const bool relayFirst = ConnectGuide::relayFirst(s.relay);

    auto* content = new QWidget;
    auto* column = columnLayout(content, 12);
    column->setContentsMargins(margin, 16, margin, 10);

    auto* lede = label(GuideTexts::connectLede, TextStyle::title3);
    lede->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    column->addWidget(lede);

    if (relayFirst) column->addWidget(relayBox(state, context));

    if (chosen) {
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
    } else {
        column->addWidget(otherRoads(state, context));
    }

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

    // Without a relay the tailnet is already offered above.
    if (chosen) addAdvanced(column, state, context);

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
