#include "app/refusal_dialog_qt.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "app/process_entry.h"
#include "app/x11_probes_qt.h"

namespace morvane {

void showRefusalDialog(int argc, char** argv, const std::string& text) {
    // Qt aborts on a display it cannot open; Xwayland may be off.
    if (!probeX11().display) return;
    // Under Wayland Qt would pick its Wayland platform, which this build
    // may lack; X is what the refusal is about and what is there.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QMessageBox box(QMessageBox::Critical, "Morvane", QString::fromStdString(text));
    box.addButton(ProcessEntry::refusalButton, QMessageBox::AcceptRole);
    box.exec();
}

}  // namespace morvane
