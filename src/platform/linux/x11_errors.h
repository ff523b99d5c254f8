// Xlib's default handlers end the process: on any protocol error, and when
// the connection to the server is lost. A capture that races a mode change
// (BadMatch), a requestor window that vanishes mid-transfer or a key binding
// the server refuses must not end the host, nor may a server that goes away.
// Our connections are registered here: their errors are noted per connection
// and a lost connection is only marked, so that its users stop using it.
// Every other connection keeps the handlers that were in place before.
#pragma once

#include <memory>
#include <string>

typedef struct _XDisplay Display;

namespace morvane {

// Opens a connection and registers it; null when the server can't be reached.
Display* openTolerantX11Display(const std::string& name);
void tolerateX11Errors(Display* display);
// The last protocol error code on the connection since the previous call,
// 0 for none; the note is cleared.
int takeX11Error(Display* display);
// True once the connection to the server is gone; requests on it do nothing.
bool x11ConnectionLost(Display* display);
// Forgets the connection and closes it. A lost one only gives its socket
// back: Xlib would wait forever to close it.
void closeX11Display(Display* display);

// What a lost connection that is not ours (a library's, Qt's own) comes to,
// on whichever thread found it lost, instead of Xlib's default exit(): the
// program's way out, which does not return while it ends the process. Once
// set, for the rest of the process; called again after a library set Xlib's
// handlers of its own, it takes them back.
void whenOtherX11ConnectionLost(void (*handler)(Display* display));

// Owns a connection opened with openTolerantX11Display.
struct X11DisplayCloser {
    void operator()(Display* display) const { closeX11Display(display); }
};
using X11Display = std::unique_ptr<Display, X11DisplayCloser>;

}  // namespace morvane
