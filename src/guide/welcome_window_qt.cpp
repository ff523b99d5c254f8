// The Welcome window: the three steps with their marks, the current step
// and row answering Return, the tray note, the tip and the two buttons.
#include <QApplication>
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
    auto* l = rowLayout(w, 8);
    l->addWidget(new StepMark(std::nullopt, r.done, 16), 0, Qt::AlignVCenter);
    auto* texts = new QWidget;
    auto* t = columnLayout(texts, 2);
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
    auto* l = rowLayout(box, 12, 10);
    l->addWidget(new StepMark(step.number, step.done, 26), 0, Qt::AlignTop);
    auto* column = new QWidget;
    auto* c = columnLayout(column, 4);
    c->addWidget(label(step.title, TextStyle::headline));
    c->addWidget(detailLines(step.detail));
    if (!step.rows.empty()) {
        auto* rows = new QWidget;
        auto* r = new QVBoxLayout(rows);
        r->setContentsMargins(0, 2, 0, 0);
        r->setSpacing(4);
        const auto currentRow = WelcomeGuide::currentRow(step);
        for (const auto& row : step.rows)
            r->addWidget(permissionRow(row, current && currentRow == row.name, state, context));
        c->addWidget(rows);
    }
    if (step.button) {
        auto* holder = new QWidget;
        auto* h = new QHBoxLayout(holder);
        h->setContentsMargins(0, 2, 0, 0);
        h->addWidget(actionButton(*step.button, step.button->enabled && current, std::nullopt, state, context));
        h->addStretch(1);
        c->addWidget(holder);
    }
    l->addWidget(column, 1);
    return box;
}

QWidget* appIcon() {
    const QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) return symbol(Symbol::monitor, 56);
    auto* l = new QLabel;
    l->setPixmap(icon.pixmap(56, 56));
    l->setFixedSize(56, 56);
    return l;
}

QWidget* buildWelcome(GuideState& state, BuildContext& context, const std::function<void()>& dontShowAgain) {
    const GuideSnapshot& s = state.snapshot();
    const auto steps = WelcomeGuide::steps(s);
    const auto current = WelcomeGuide::current(steps);

    auto* content = new QWidget;
    auto* column = columnLayout(content, 14);
    column->setContentsMargins(20, 18, 20, 10);

    auto* header = new QWidget;
    auto* h = rowLayout(header, 16);
    h->addWidget(appIcon(), 0, Qt::AlignVCenter);
    auto* titles = new QWidget;
    auto* t = columnLayout(titles, 4);
    t->addWidget(label(GuideTexts::welcomeTitle, TextStyle::largeTitle));
    t->addWidget(label(GuideTexts::welcomeLede, TextStyle::body, true));
    h->addWidget(titles, 1);
    column->addWidget(header);

    auto* stepList = new QWidget;
    auto* sl = columnLayout(stepList, 8);
    for (const auto& step : steps) sl->addWidget(stepView(step, current == step.number, state, context));
    column->addWidget(stepList);

    const auto noteRow = [](QWidget* mark, QLabel* text, const std::string& spoken) {
        auto* w = new QWidget;
        auto* l = rowLayout(w, 8);
        l->addWidget(mark, 0, Qt::AlignTop);
        l->addWidget(text, 1);
        w->setAccessibleName(QString::fromStdString(spoken));
        return w;
    };
    auto* keyCap = roundedBox();
    auto* k = new QHBoxLayout(keyCap);
    k->setContentsMargins(5, 2, 5, 2);
    k->addWidget(symbol(Symbol::monitor, 16));
    column->addWidget(noteRow(keyCap, label(GuideTexts::menuBarNote, TextStyle::callout), GuideTexts::menuBarSpoken));
    column->addWidget(noteRow(symbol(Symbol::lightbulb, 16),
                              label(GuideTexts::tip(s.laptop, s.pellmoorInstalled), TextStyle::callout, true),
                              GuideTexts::tipSpoken(s.laptop, s.pellmoorInstalled)));

    // The closing buttons stay in view below the part that may scroll.
    auto* footer = new QWidget;
    auto* f = columnLayout(footer, 10);
    f->setContentsMargins(20, 0, 20, 14);
    f->addWidget(divider());
    f->addWidget(lineOf({plainButton(GuideTexts::dontShowAgain, dontShowAgain), nullptr,
                         plainButton(GuideTexts::close, [&state] { state.close(); })},
                        0));
    context.footer = footer;
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
