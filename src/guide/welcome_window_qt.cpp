// The Welcome window: the three steps with their marks, the current step
// and row answering Return, the tray note, the tip and the two buttons.
#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

#include "guide/guide_texts.h"
#include "guide/guide_widgets_qt.h"
#include "guide/guide_windows_qt.h"

namespace morvane {

namespace {

using namespace guide_qt;

QWidget* permissionRow(const PermissionRow& r, bool prominent, GuideState& state, BuildContext& context) {
    auto* w = new QWidget;
    auto* l = new QHBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(8);
    l->addWidget(new StepMark(std::nullopt, r.done, 16), 0, Qt::AlignVCenter);
    auto* texts = new QWidget;
    auto* t = new QVBoxLayout(texts);
    t->setContentsMargins(0, 0, 0, 0);
    t->setSpacing(2);
    auto* name = label(r.name, TextStyle::callout);
    setWeight(name, QFont::Medium);
    t->addWidget(name);
    if (r.note) t->addWidget(label(*r.note, TextStyle::caption, true));
    l->addWidget(texts, 1);
    l->addSpacing(8);
    if (r.second) l->addWidget(actionButton(*r.second, false, r.name + ": " + r.second->title, state, context));
    if (r.button)
        l->addWidget(actionButton(*r.button, prominent && r.button->enabled, r.name + ": " + r.button->title, state,
                                  context));
    return w;
}

QWidget* stepView(const WelcomeStep& step, bool current, GuideState& state, BuildContext& context) {
    auto* box = roundedBox();
    box->setAccessibleName(QString::fromStdString(WelcomeGuide::stepSpoken(step)));
    auto* l = new QHBoxLayout(box);
    l->setContentsMargins(14, 14, 14, 14);
    l->setSpacing(14);
    l->addWidget(new StepMark(step.number, step.done, 28), 0, Qt::AlignTop);
    auto* column = new QWidget;
    auto* c = new QVBoxLayout(column);
    c->setContentsMargins(0, 0, 0, 0);
    c->setSpacing(6);
    c->addWidget(label(step.title, TextStyle::headline));
    c->addWidget(detailLines(step.detail));
    if (!step.rows.empty()) {
        auto* rows = new QWidget;
        auto* r = new QVBoxLayout(rows);
        r->setContentsMargins(0, 2, 0, 0);
        r->setSpacing(6);
        const auto currentRow = WelcomeGuide::currentRow(step);
        for (const auto& row : step.rows)
            r->addWidget(permissionRow(row, current && currentRow == row.name, state, context));
        c->addWidget(rows);
    }
    if (step.button) {
        auto* holder = new QWidget;
        auto* h = new QHBoxLayout(holder);
        h->setContentsMargins(0, 4, 0, 0);
        h->addWidget(actionButton(*step.button, step.button->enabled && current, std::nullopt, state, context));
        h->addStretch(1);
        c->addWidget(holder);
    }
    // Height a wrapped line was given beyond its text collects at the foot.
    c->addStretch(1);
    l->addWidget(column, 1);
    return box;
}

QWidget* appIcon() {
    const QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) return symbol(Symbol::monitor, 64);
    auto* l = new QLabel;
    l->setPixmap(icon.pixmap(64, 64));
    l->setFixedSize(64, 64);
    return l;
}

QWidget* buildWelcome(GuideState& state, BuildContext& context, const std::function<void()>& dontShowAgain) {
    const GuideSnapshot& s = state.snapshot();
    const auto steps = WelcomeGuide::steps(s);
    const auto current = WelcomeGuide::current(steps);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(20);

    auto* header = new QWidget;
    auto* h = new QHBoxLayout(header);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(16);
    h->addWidget(appIcon(), 0, Qt::AlignVCenter);
    auto* titles = new QWidget;
    auto* t = new QVBoxLayout(titles);
    t->setContentsMargins(0, 0, 0, 0);
    t->setSpacing(4);
    t->addWidget(label(GuideTexts::welcomeTitle, TextStyle::largeTitle));
    t->addWidget(label(GuideTexts::welcomeLede, TextStyle::body, true));
    h->addWidget(titles, 1);
    column->addWidget(header);

    auto* stepList = new QWidget;
    auto* sl = new QVBoxLayout(stepList);
    sl->setContentsMargins(0, 0, 0, 0);
    sl->setSpacing(10);
    for (const auto& step : steps) sl->addWidget(stepView(step, current == step.number, state, context));
    column->addWidget(stepList);

    const auto noteRow = [](QWidget* mark, QLabel* text, const std::string& spoken) {
        auto* w = new QWidget;
        auto* l = new QHBoxLayout(w);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(8);
        l->addWidget(mark, 0, Qt::AlignTop);
        l->addWidget(text, 1);
        w->setAccessibleName(QString::fromStdString(spoken));
        return w;
    };
    auto* keyCap = roundedBox();
    auto* k = new QHBoxLayout(keyCap);
    k->setContentsMargins(5, 2, 5, 2);
    k->addWidget(symbol(Symbol::monitor, 16));
    column->addStretch(1);
    column->addWidget(noteRow(keyCap, label(GuideTexts::menuBarNote, TextStyle::callout), GuideTexts::menuBarSpoken));
    column->addWidget(noteRow(symbol(Symbol::lightbulb, 16),
                              label(GuideTexts::tip(s.laptop, s.pellmoorInstalled), TextStyle::callout, true),
                              GuideTexts::tipSpoken(s.laptop, s.pellmoorInstalled)));

    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    column->addWidget(line);

    auto* buttons = new QWidget;
    auto* b = new QHBoxLayout(buttons);
    b->setContentsMargins(0, 0, 0, 0);
    auto* dont = new QPushButton(GuideTexts::dontShowAgain);
    dont->setAutoDefault(false);
    dont->setMinimumHeight(30);
    QObject::connect(dont, &QPushButton::clicked, [dontShowAgain] {
        if (dontShowAgain) dontShowAgain();
    });
    auto* close = new QPushButton(GuideTexts::close);
    close->setAutoDefault(false);
    close->setMinimumHeight(30);
    QObject::connect(close, &QPushButton::clicked, [&state] { state.close(); });
    b->addWidget(dont);
    b->addStretch(1);
    b->addWidget(close);
    column->addWidget(buttons);
    return content;
}

}  // namespace

QWidget* makeWelcomeWindow(const std::shared_ptr<GuidePanel>& panel, std::function<void()> dontShowAgain) {
    return new GuideQtWindow(panel, 520, [dontShowAgain = std::move(dontShowAgain)](GuideState& state,
                                                                                   BuildContext& context) {
        return buildWelcome(state, context, dontShowAgain);
    });
}

}  // namespace morvane
