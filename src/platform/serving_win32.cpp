// Windows Sockets: the serving half (listening, accepting, watching several
// connections), for the simulator and the tests; the library does not ship
// it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/serving.h"

namespace orvane::platform {

namespace {
SOCKET sock(NativeSocket s) { return static_cast<SOCKET>(s); }
}  // namespace

int wait_any_readable(const NativeSocket* sockets, bool* ready, int count, int timeout_ms) {
    if (count < 0 || count > FD_SETSIZE) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    fd_set readable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    for (int i = 0; i < count; ++i) {
        FD_SET(sock(sockets[i]), &readable);
        FD_SET(sock(sockets[i]), &failed);
        ready[i] = false;
    }
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    const int r = ::select(0, &readable, nullptr, &failed, timeout_ms < 0 ? nullptr : &tv);
    if (r <= 0) return r;
    for (int i = 0; i < count; ++i) {
        ready[i] = FD_ISSET(sock(sockets[i]), &readable) || FD_ISSET(sock(sockets[i]), &failed);
    }
    return r;
}

void abort_close(Socket& s) {
    if (!s.valid()) return;
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(sock(s.get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    s.close();
}

Socket listen_tcp(const std::string& ipv4, std::uint16_t port, int backlog, std::uint16_t* bound_port) {
    std::uint32_t address = 0;
    if (!parse_ipv4(ipv4, address)) {
        WSASetLastError(WSAEINVAL);
        return Socket();
    }
    Socket s = open_tcp_socket();
    if (!s.valid()) return s;
    BOOL one = TRUE;
    ::setsockopt(sock(s.get()), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    if (::bind(sock(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return Socket();
    if (::listen(sock(s.get()), backlog) != 0) return Socket();
    if (bound_port != nullptr) {
        sockaddr_in actual{};
        int length = sizeof actual;
        ::getsockname(sock(s.get()), reinterpret_cast<sockaddr*>(&actual), &length);
        *bound_port = ntohs(actual.sin_port);
    }
    return s;
}

Socket accept_connection(NativeSocket listener) {
    const SOCKET s = ::accept(sock(listener), nullptr, nullptr);
    return Socket(s == INVALID_SOCKET ? invalid_socket : static_cast<NativeSocket>(s));
}

}  // namespace orvane::platform
