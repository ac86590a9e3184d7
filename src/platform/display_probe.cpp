#include "platform/display_probe.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tc {

namespace {

constexpr int PROBE_MS = 1000;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Connects without blocking and waits at most PROBE_MS for the connection.
bool connects(int family, const sockaddr* address, socklen_t length) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, address, length) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof(error);
        ok = ::poll(&p, 1, PROBE_MS) == 1 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(fd);
    return ok;
}

// A local socket by path, or in the abstract namespace (where X servers also listen).
bool connectsLocal(const std::string& path, bool abstract = false) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    size_t skip = abstract ? 1 : 0;
    if (path.empty() || path.size() + skip >= sizeof(a.sun_path)) return false;
    std::memcpy(a.sun_path + skip, path.data(), path.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + skip + path.size());
    return connects(AF_UNIX, reinterpret_cast<const sockaddr*>(&a), length);
}

bool connectsTcp(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    bool ok = false;
    for (addrinfo* a = found; a && !ok; a = a->ai_next)
        ok = connects(a->ai_family, a->ai_addr, a->ai_addrlen);
    ::freeaddrinfo(found);
    return ok;
}

// The X client library, when installed, connects as the toolkit will, with the user's
// authorisation (a server that refuses it would end the toolkit too).
bool xServerLetsUsIn() {
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) return true;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    if (!connect || !hasError || !disconnect) return true;
    void* connection = connect(nullptr, nullptr);
    bool ok = hasError(connection) == 0;
    disconnect(connection);
    return ok;
}

} // namespace

bool waylandDisplayAnswers() {
    std::string name = environment("WAYLAND_DISPLAY");
    if (name.empty()) return false;
    if (name[0] != '/') {
        std::string runtime = environment("XDG_RUNTIME_DIR");
        if (runtime.empty()) return false;
        name = runtime + "/" + name;
    }
    return connectsLocal(name);
}

bool xDisplayAnswers() {
    // [host]:display[.screen], or a socket path followed by :display.
    std::string display = environment("DISPLAY");
    size_t colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = display.substr(0, colon);
    int number = std::atoi(display.c_str() + colon + 1);
    bool answers;
    if (!host.empty() && host[0] == '/') {
        answers = connectsLocal(host);
    } else if (host.empty() || host == "unix") {
        std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        answers = connectsLocal(path, true) || connectsLocal(path);
    } else {
        answers = connectsTcp(host, 6000 + number);
    }
    return answers && xServerLetsUsIn();
}

} // namespace tc
