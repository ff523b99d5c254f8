// A test X client that owns CLIPBOARD and answers with what it is told: a
// list of targets with their bytes, or nothing at all.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <atomic>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

class XSelectionOwner {
public:
    // Empty `offers` with `silent` true: owns the selection and never answers.
    explicit XSelectionOwner(std::map<std::string, std::string> offers, bool silent = false)
        : offers_(std::move(offers)), silent_(silent) {
        display_ = XOpenDisplay(nullptr);
        if (!display_) throw std::runtime_error("no display");
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
        clipboard_ = XInternAtom(display_, "CLIPBOARD", False);
        targets_ = XInternAtom(display_, "TARGETS", False);
        XSetSelectionOwner(display_, clipboard_, window_, CurrentTime);
        XSync(display_, False);
        thread_ = std::thread([this] { run(); });
    }
    ~XSelectionOwner() {
        stop_ = true;
        thread_.join();
        XCloseDisplay(display_);
    }
    int requests() const { return requests_; }

private:
    void run() {
        while (!stop_) {
            while (XPending(display_) > 0) {
                XEvent e;
                XNextEvent(display_, &e);
                if (e.type == SelectionRequest) {
                    ++requests_;
                    if (!silent_) answer(e.xselectionrequest);
                }
            }
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            poll(&p, 1, 20);
        }
    }
    void answer(const XSelectionRequestEvent& r) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.requestor = r.requestor;
        reply.selection = r.selection;
        reply.target = r.target;
        reply.time = r.time;
        reply.property = None;
        if (r.target == targets_) {
            std::vector<Atom> atoms{targets_};
            for (const auto& [name, bytes] : offers_) atoms.push_back(XInternAtom(display_, name.c_str(), False));
            XChangeProperty(display_, r.requestor, r.property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
            reply.property = r.property;
        } else if (char* name = XGetAtomName(display_, r.target)) {
            const auto it = offers_.find(name);
            XFree(name);
            if (it != offers_.end()) {
                XChangeProperty(display_, r.requestor, r.property, r.target, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(it->second.data()),
                                static_cast<int>(it->second.size()));
                reply.property = r.property;
            }
        }
        XEvent out;
        out.xselection = reply;
        XSendEvent(display_, r.requestor, False, NoEventMask, &out);
        XFlush(display_);
    }

    std::map<std::string, std::string> offers_;
    bool silent_;
    Display* display_ = nullptr;
    Window window_ = 0;
    Atom clipboard_ = 0, targets_ = 0;
    std::atomic<bool> stop_ = false;
    std::atomic<int> requests_ = 0;
    std::thread thread_;
};

}  // namespace morvane::testing
