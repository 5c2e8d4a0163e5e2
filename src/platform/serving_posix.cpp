// POSIX sockets: the serving half (listening, accepting, watching several
// connections), for the simulator and the tests; the library does not ship
// it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/serving.h"

namespace orvane::platform {

namespace {
int fd(NativeSocket s) { return static_cast<int>(s); }
}  // namespace

int wait_any_readable(const NativeSocket* sockets, bool* ready, int count, int timeout_ms) {
    std::vector<pollfd> polled(static_cast<std::size_t>(count < 0 ? 0 : count));
    for (std::size_t i = 0; i < polled.size(); ++i) {
        polled[i].fd = fd(sockets[i]);
        polled[i].events = POLLIN;
        ready[i] = false;
    }
    int r = 0;
    do {
        r = ::poll(polled.data(), static_cast<nfds_t>(polled.size()), timeout_ms < 0 ? -1 : timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return r;
    for (std::size_t i = 0; i < polled.size(); ++i) {
        ready[i] = (polled[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return r;
}

void abort_close(Socket& s) {
    if (!s.valid()) return;
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(fd(s.get()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    s.close();
}

Socket listen_tcp(const std::string& ipv4, std::uint16_t port, int backlog, std::uint16_t* bound_port) {
    std::uint32_t address = 0;
    if (!parse_ipv4(ipv4, address)) {
        errno = EINVAL;
        return Socket();
    }
    Socket s = open_tcp_socket();
    if (!s.valid()) return s;
    int one = 1;
    ::setsockopt(fd(s.get()), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    if (::bind(fd(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return Socket();
    if (::listen(fd(s.get()), backlog) != 0) return Socket();
    if (bound_port != nullptr) {
        sockaddr_in actual{};
        socklen_t length = sizeof actual;
        ::getsockname(fd(s.get()), reinterpret_cast<sockaddr*>(&actual), &length);
        *bound_port = ntohs(actual.sin_port);
    }
    return s;
}

Socket accept_connection(NativeSocket listener) {
    for (;;) {
        const int s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0) return Socket(static_cast<NativeSocket>(s));
        if (errno != EINTR) return Socket();
    }
}

}  // namespace orvane::platform
