// Xlib's default error handler ends the process. A requestor window that
// vanishes mid-transfer or a key binding the server refuses must not, so the
// connections of input and clipboard are registered here and their errors
// are swallowed; errors of every other connection go to the handler that
// was in place before.
#pragma once

typedef struct _XDisplay Display;

namespace morvane {

void tolerateX11Errors(Display* display);
void forgetX11Display(Display* display);

}  // namespace morvane
