// Xlib's default handlers end the process: on any protocol error, and when
// the connection to the server is lost. A requestor window that vanishes
// mid-transfer or a key binding the server refuses must not end it, nor may
// a server that goes away. The connections of input and clipboard are
// registered here: their errors are swallowed and a lost connection is only
// marked, so that its users stop using it. Every other connection keeps the
// handlers that were in place before.
#pragma once

typedef struct _XDisplay Display;

namespace morvane {

void tolerateX11Errors(Display* display);
// True once the connection to the server is gone; requests on it do nothing.
bool x11ConnectionLost(Display* display);
// Forgets the connection and closes it. A lost one only gives its socket
// back: Xlib would wait forever to close it.
void closeX11Display(Display* display);

}  // namespace morvane
