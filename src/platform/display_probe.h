#pragma once

namespace tc {

// Whether the display the environment names answers, tried without a window toolkit (which
// ends the process when it cannot connect). Each try gives up after about a second.

// $WAYLAND_DISPLAY (a socket in $XDG_RUNTIME_DIR, or a path) accepts a connection.
bool waylandDisplayAnswers();
// $DISPLAY accepts a connection: the local socket of ":n" (or "unix:n"), TCP port 6000 + n of
// "host:n". When the X client library is installed, it must also let this user in.
bool xDisplayAnswers();

} // namespace tc
