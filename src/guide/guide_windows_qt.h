// The Welcome and Connect windows over Qt 6 Widgets. Each window belongs to
// one GuidePanel for the rest of the run: the panel decides what is shown
// and when; the window rebuilds its widgets from the panel's state whenever
// a published field changes and reports every way it closes back to the
// panel. Every text is set as plain text. Main thread only.
#pragma once

#include <functional>
#include <memory>

class QWidget;

namespace morvane {

class GuidePanel;

// Makes the window and attaches it to the panel; the caller owns it and
// keeps it as long as the panel.
QWidget* makeConnectWindow(const std::shared_ptr<GuidePanel>& panel);
QWidget* makeWelcomeWindow(const std::shared_ptr<GuidePanel>& panel, std::function<void()> dontShowAgain);

}  // namespace morvane
