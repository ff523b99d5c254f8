#include "platform/linux/clipboard_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/executor.h"
#include "platform/linux/clipboard_x11_text.h"
#include "platform/linux/x11_errors.h"
#include "transfer/clipboard_text.h"

namespace morvane {

namespace {

using Clock = std::chrono::steady_clock;

// The hint password managers put on what they copy.
constexpr const char* passwordHintTarget = "x-kde-passwordManagerHint";
// Texts above this go incrementally, in pieces of this size.
constexpr std::size_t incrementalBytes = 64 * 1024;
constexpr int maxIncrementalTransfers = 8;
constexpr std::int64_t incrementalStallMillis = 10'000;

struct Atoms {
    Atom clipboard, targets, timestamp, utf8, textPlain, text, incr, hint, property;
    explicit Atoms(Display* d)
        : clipboard(XInternAtom(d, "CLIPBOARD", False)),
          targets(XInternAtom(d, "TARGETS", False)),
          timestamp(XInternAtom(d, "TIMESTAMP", False)),
          utf8(XInternAtom(d, "UTF8_STRING", False)),
          textPlain(XInternAtom(d, "text/plain;charset=utf-8", False)),
          text(XInternAtom(d, "TEXT", False)),
          incr(XInternAtom(d, "INCR", False)),
          hint(XInternAtom(d, passwordHintTarget, False)),
          property(XInternAtom(d, "MORVANE_SELECTION", False)) {}
};

// Waits for the next event that `wanted` accepts, up to the deadline.
template <typename Wanted>
bool awaitEvent(Display* d, Clock::time_point deadline, XEvent& event, Wanted wanted) {
    for (;;) {
        // A lost connection reads as ready for ever and never brings the event.
        if (x11ConnectionLost(d)) return false;
        while (XPending(d) > 0) {
            XNextEvent(d, &event);
            if (wanted(event)) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 1000)));
    }
}

// One read of the CLIPBOARD selection on a connection of its own.
class SelectionReader {
public:
    enum class Got { data, refused, timedOut };
    struct Reply {
        Got got = Got::refused;
        Atom type = None;
        std::string bytes;
    };

    SelectionReader(Display* d, Clock::time_point deadline) : d_(d), atoms_(d), deadline_(deadline) {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        window_ = XCreateWindow(d_, DefaultRootWindow(d_), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                                CopyFromParent, CWEventMask, &attributes);
    }
    ~SelectionReader() { XDestroyWindow(d_, window_); }

    const Atoms& atoms() const { return atoms_; }

    Reply convert(Atom target, std::size_t maxBytes) {
        Reply reply;
        XDeleteProperty(d_, window_, atoms_.property);
        XConvertSelection(d_, atoms_.clipboard, target, atoms_.property, window_, CurrentTime);
        XFlush(d_);
        XEvent event;
        const bool answered = awaitEvent(d_, deadline_, event, [&](const XEvent& e) {
            return e.type == SelectionNotify && e.xselection.requestor == window_ &&
                   e.xselection.selection == atoms_.clipboard;
        });
        if (!answered) {
            reply.got = Got::timedOut;
            return reply;
        }
        if (event.xselection.property == None) return reply;

        std::size_t more = 0;
        if (!take(reply, maxBytes, more)) return reply;
        if (reply.type != atoms_.incr) {
            reply.got = Got::data;
            return reply;
        }
        // Incremental: each new value is one piece; an empty one ends it.
        reply.bytes.clear();
        for (;;) {
            const bool arrived = awaitEvent(d_, deadline_, event, [&](const XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.window == window_ &&
                       e.xproperty.atom == atoms_.property && e.xproperty.state == PropertyNewValue;
            });
            if (!arrived) {
                reply.got = Got::timedOut;
                return reply;
            }
            Reply piece;
            if (!take(piece, maxBytes - std::min(maxBytes, reply.bytes.size()), more)) {
                reply.got = Got::refused;
                return reply;
            }
            reply.type = piece.type;
            if (piece.bytes.empty() && more == 0) break;
            reply.bytes += piece.bytes;
            if (reply.bytes.size() >= maxBytes) break;  // enough for the limit; the owner gives up on its own
        }
        reply.got = Got::data;
        return reply;
    }

    std::vector<std::string> targets() {
        const Reply reply = convert(atoms_.targets, 64 * 1024);
        std::vector<std::string> names;
        if (reply.got != Got::data || reply.type != XA_ATOM) return names;
        const std::size_t count = reply.bytes.size() / sizeof(long);
        std::vector<Atom> list(count);
        for (std::size_t i = 0; i < count; ++i) {
            long value = 0;
            std::memcpy(&value, reply.bytes.data() + i * sizeof(long), sizeof(long));
            list[i] = static_cast<Atom>(value);
        }
        for (Atom a : list) {
            if (a == None) continue;
            if (char* name = XGetAtomName(d_, a)) {
                names.emplace_back(name);
                XFree(name);
            }
        }
        return names;
    }

private:
    // Reads and deletes the property; 32-bit items arrive as longs.
    bool take(Reply& reply, std::size_t maxBytes, std::size_t& more) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const long longs = static_cast<long>(maxBytes / 4 + 1);
        if (XGetWindowProperty(d_, window_, atoms_.property, 0, longs, True, AnyPropertyType, &type, &format, &items,
                               &after, &data) != Success)
            return false;
        reply.type = type;
        more = after;
        if (data) {
            const std::size_t unit = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
            reply.bytes.assign(reinterpret_cast<const char*>(data), items * unit);
            XFree(data);
        }
        if (after > 0) XDeleteProperty(d_, window_, atoms_.property);
        return true;
    }

    Display* d_;
    Atoms atoms_;
    Clock::time_point deadline_;
    Window window_ = 0;
};

class X11Clipboard final : public ClipboardAccess {
public:
    X11Clipboard(Executor& readQueue, Display* owner, std::string displayName,
                 std::function<void(const std::string&)> log, std::int64_t readDeadlineMillis)
        : readQueue_(readQueue),
          owner_(owner),
          atoms_(owner),
          displayName_(std::move(displayName)),
          log_(std::move(log)),
          readDeadlineMillis_(readDeadlineMillis) {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        window_ = XCreateWindow(owner_, DefaultRootWindow(owner_), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                                CopyFromParent, CWEventMask, &attributes);
        XFlush(owner_);
        if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { serve(); });
    }

    ~X11Clipboard() override {
        // A read in flight holds the clipboard; it ends by its deadline.
        readQueue_.drain();
        {
            std::lock_guard lock(m_);
            stopping_ = true;
        }
        poke();
        thread_.join();
        if (wake_[0] >= 0) close(wake_[0]), close(wake_[1]);
        if (!x11ConnectionLost(owner_)) XDestroyWindow(owner_, window_);
        closeX11Display(owner_);
    }

    void readPlainText(int limit, std::function<void(ClipboardRead)> completion) override {
        bool busy;
        {
            std::lock_guard lock(m_);
            busy = std::exchange(reading_, true);
        }
        if (busy) {
            // The first read goes on; the second is told what a stuck read
            // tells, after the lock is let go.
            completion(clipboard_read::NeedsPermission{});
            return;
        }
        readQueue_.post([this, limit, completion = std::move(completion)] {
            ClipboardRead result = read(std::max(limit, 0));
            {
                std::lock_guard lock(m_);
                reading_ = false;
            }
            completion(std::move(result));
        });
    }

    bool writePlainText(const std::string& text) override {
        auto done = std::make_shared<std::promise<bool>>();
        auto answer = done->get_future();
        {
            std::lock_guard lock(m_);
            if (ownerGone_) return false;
            pendingWrites_.push_back({X11SelectionText::validUtf8(text), done});
        }
        poke();
        if (answer.wait_for(std::chrono::milliseconds(X11ClipboardLimits::writeWaitMillis)) != std::future_status::ready)
            return false;
        return answer.get();
    }

private:
    struct Write {
        std::string text;
        std::shared_ptr<std::promise<bool>> done;
    };
    struct Transfer {
        Window requestor;
        Atom property;
        Atom type;
        std::shared_ptr<const std::string> data;
        std::size_t offset = 0;
        Clock::time_point lastStep;
    };

    void poke() {
        if (wake_[1] >= 0) {
            const char c = 1;
            [[maybe_unused]] const auto n = write(wake_[1], &c, 1);
        }
    }

    // ---- reading, on the read queue ----

    ClipboardRead read(int limit) {
        expectOn(readQueue_, "X11Clipboard::read");
        Display* d = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
        if (!d) return clipboard_read::Denied{};
        tolerateX11Errors(d);
        ClipboardRead result = readWith(d, limit);
        closeX11Display(d);
        return result;
    }

    ClipboardRead readWith(Display* d, int limit) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(readDeadlineMillis_);
        SelectionReader reader(d, deadline);
        const Atoms& atoms = reader.atoms();
        const Window firstOwner = XGetSelectionOwner(d, atoms.clipboard);
        if (firstOwner == None) return clipboard_read::Empty{};

        auto timedOut = [&] {
            if (log_) log_("the clipboard's owner did not answer in time");
            return clipboard_read::Denied{};
        };
        const auto names = reader.targets();
        if (Clock::now() >= deadline) return timedOut();
        if (const auto verdict = privacy(reader, names)) return *verdict;

        auto has = [&](const char* name) { return std::find(names.begin(), names.end(), name) != names.end(); };
        Atom target = atoms.utf8;
        if (!names.empty()) {
            if (has("UTF8_STRING")) target = atoms.utf8;
            else if (has("text/plain;charset=utf-8")) target = atoms.textPlain;
            else if (has("STRING")) target = XA_STRING;
            else return clipboard_read::Empty{};
        }
        // Enough bytes for more than `limit` UTF-16 units, so cutting knows.
        const std::size_t maxBytes = static_cast<std::size_t>(limit) * 4 + 16;
        const auto reply = reader.convert(target, maxBytes);
        if (reply.got == SelectionReader::Got::timedOut) return timedOut();

        // A new owner meanwhile may have put private contents there.
        if (XGetSelectionOwner(d, atoms.clipboard) != firstOwner) {
            if (const auto verdict = privacy(reader, reader.targets())) return *verdict;
        }
        if (reply.got != SelectionReader::Got::data || reply.bytes.empty()) return clipboard_read::Empty{};
        const std::string text = X11SelectionText::validUtf8(
            reply.type == XA_STRING ? X11SelectionText::latin1ToUtf8(reply.bytes) : reply.bytes);
        auto limited = ClipboardText::limited(text, limit);
        if (limited.text.empty()) return clipboard_read::Empty{};
        if (limited.cut) return clipboard_read::Cut{std::move(limited.text)};
        return clipboard_read::Text{std::move(limited.text)};
    }

    std::optional<ClipboardRead> privacy(SelectionReader& reader, const std::vector<std::string>& names) {
        if (ClipboardPrivacy::isPrivate(names)) return clipboard_read::MarkedPrivate{};
        if (std::find(names.begin(), names.end(), passwordHintTarget) == names.end()) return std::nullopt;
        const auto hint = reader.convert(reader.atoms().hint, 256);
        // A hint that cannot be read is taken at its word.
        if (hint.got != SelectionReader::Got::data || hint.bytes.rfind("secret", 0) == 0 || hint.bytes.empty())
            return clipboard_read::MarkedPrivate{};
        return std::nullopt;
    }

    // ---- owning, on the owner thread ----

    void serve() {
        for (;;) {
            std::deque<Write> writes;
            {
                std::lock_guard lock(m_);
                if (stopping_) break;
                writes.swap(pendingWrites_);
            }
            // Without its server the selection is nobody's: writes fail from
            // now on, and the thread ends rather than wake for nothing.
            if (x11ConnectionLost(owner_)) {
                for (auto& w : writes) w.done->set_value(false);
                break;
            }
            for (auto& w : writes) w.done->set_value(own(std::move(w.text)));
            while (XPending(owner_) > 0) {
                XEvent event;
                XNextEvent(owner_, &event);
                handle(event);
            }
            dropStalledTransfers();
            pollfd p[2] = {{ConnectionNumber(owner_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
            poll(p, wake_[0] >= 0 ? 2 : 1, 1000);
            if (p[1].revents & POLLIN) {
                char buffer[64];
                [[maybe_unused]] const auto n = ::read(wake_[0], buffer, sizeof buffer);
            }
        }
        std::lock_guard lock(m_);
        ownerGone_ = true;
        for (auto& w : pendingWrites_) w.done->set_value(false);
        pendingWrites_.clear();
    }

    bool own(std::string text) {
        // The selection wants a real server time: a zero-length append to our
        // own window brings one back.
        XChangeProperty(owner_, window_, atoms_.property, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XFlush(owner_);
        Time time = CurrentTime;
        XEvent event;
        if (awaitEvent(owner_, Clock::now() + std::chrono::milliseconds(500), event, [&](const XEvent& e) {
                if (e.type == PropertyNotify && e.xproperty.window == window_) return true;
                handle(e);
                return false;
            }))
            time = event.xproperty.time;
        text_ = std::make_shared<const std::string>(std::move(text));
        ownedSince_ = time;
        XSetSelectionOwner(owner_, atoms_.clipboard, window_, time);
        const bool owned = XGetSelectionOwner(owner_, atoms_.clipboard) == window_;
        if (!owned) text_.reset();
        return owned;
    }

    void handle(const XEvent& event) {
        if (event.type == SelectionClear && event.xselectionclear.selection == atoms_.clipboard) {
            text_.reset();
        } else if (event.type == SelectionRequest) {
            answer(event.xselectionrequest);
        } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
            step(event.xproperty.window, event.xproperty.atom);
        }
    }

    void answer(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        const Atom property = request.property == None ? request.target : request.property;

        if (text_ && request.selection == atoms_.clipboard) {
            if (request.target == atoms_.targets) {
                const Atom offered[] = {atoms_.targets, atoms_.timestamp, atoms_.utf8, atoms_.textPlain, XA_STRING,
                                        atoms_.text};
                XChangeProperty(owner_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(offered), std::size(offered));
                reply.property = property;
            } else if (request.target == atoms_.timestamp) {
                const long time = static_cast<long>(ownedSince_);
                XChangeProperty(owner_, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(&time), 1);
                reply.property = property;
            } else if (request.target == atoms_.utf8 || request.target == atoms_.textPlain ||
                       request.target == atoms_.text || request.target == XA_STRING) {
                const bool latin1 = request.target == XA_STRING;
                auto data = latin1 ? std::make_shared<const std::string>(X11SelectionText::utf8ToLatin1(*text_))
                                   : text_;
                const Atom type = latin1 ? XA_STRING : (request.target == atoms_.text ? atoms_.utf8 : request.target);
                if (send(request.requestor, property, type, std::move(data))) reply.property = property;
            }
        }
        XEvent out;
        out.xselection = reply;
        XSendEvent(owner_, request.requestor, False, NoEventMask, &out);
        XFlush(owner_);
    }

    bool send(Window requestor, Atom property, Atom type, std::shared_ptr<const std::string> data) {
        if (data->size() <= incrementalBytes) {
            XChangeProperty(owner_, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data->data()), static_cast<int>(data->size()));
            return true;
        }
        if (transfers_.size() >= maxIncrementalTransfers) return false;
        XSelectInput(owner_, requestor, PropertyChangeMask);
        const long size = static_cast<long>(data->size());
        XChangeProperty(owner_, requestor, property, atoms_.incr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        transfers_.push_back({requestor, property, type, std::move(data), 0, Clock::now()});
        return true;
    }

    // The requestor took the last piece: give the next, or the empty end.
    void step(Window window, Atom property) {
        for (auto it = transfers_.begin(); it != transfers_.end(); ++it) {
            if (it->requestor != window || it->property != property) continue;
            const std::size_t left = it->data->size() - it->offset;
            const std::size_t piece = std::min(left, incrementalBytes);
            XChangeProperty(owner_, window, property, it->type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(it->data->data() + it->offset),
                            static_cast<int>(piece));
            it->offset += piece;
            it->lastStep = Clock::now();
            if (piece == 0) finish(it);
            XFlush(owner_);
            return;
        }
    }

    void finish(std::list<Transfer>::iterator it) {
        const Window requestor = it->requestor;
        transfers_.erase(it);
        const bool stillUsed = std::any_of(transfers_.begin(), transfers_.end(),
                                           [&](const Transfer& t) { return t.requestor == requestor; });
        if (!stillUsed) XSelectInput(owner_, requestor, NoEventMask);
    }

    void dropStalledTransfers() {
        const auto now = Clock::now();
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            auto next = std::next(it);
            if (now - it->lastStep > std::chrono::milliseconds(incrementalStallMillis)) finish(it);
            it = next;
        }
    }

    Executor& readQueue_;
    Display* owner_;
    Atoms atoms_;
    std::string displayName_;
    std::function<void(const std::string&)> log_;
    std::int64_t readDeadlineMillis_;
    Window window_ = 0;
    int wake_[2] = {-1, -1};

    std::mutex m_;
    bool reading_ = false;
    bool stopping_ = false;
    bool ownerGone_ = false;
    std::deque<Write> pendingWrites_;

    // Owner thread only.
    std::shared_ptr<const std::string> text_;
    Time ownedSince_ = CurrentTime;
    std::list<Transfer> transfers_;

    std::thread thread_;
};

}  // namespace

std::unique_ptr<ClipboardAccess> makeX11Clipboard(Executor& readQueue, std::function<void(const std::string&)> log,
                                                  const std::string& displayName, std::int64_t readDeadlineMillis) {
    Display* owner = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!owner) {
        if (log) log("the clipboard is not available: the X display cannot be opened");
        return nullptr;
    }
    tolerateX11Errors(owner);
    return std::make_unique<X11Clipboard>(readQueue, owner, displayName, std::move(log), readDeadlineMillis);
}

}  // namespace morvane
