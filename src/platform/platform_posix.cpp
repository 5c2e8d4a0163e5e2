// POSIX sockets.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace orvane::platform {

namespace {
int fd(NativeSocket s) { return static_cast<int>(s); }

sockaddr_in make_address(std::uint32_t address_host_order, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address_host_order);
    return addr;
}

int wait_for(NativeSocket s, short events, int timeout_ms) {
    pollfd p{};
    p.fd = fd(s);
    p.events = events;
    for (;;) {
        const int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}
}  // namespace

NetworkSession::NetworkSession() = default;
NetworkSession::~NetworkSession() = default;

void Socket::close() {
    if (handle_ != invalid_socket) {
        ::close(fd(handle_));
        handle_ = invalid_socket;
    }
}

int last_socket_error() { return errno; }

bool is_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool is_interrupted(int error) { return error == EINTR; }

Socket open_tcp_socket() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return Socket(s < 0 ? invalid_socket : static_cast<NativeSocket>(s));
}

bool set_non_blocking(NativeSocket s, bool non_blocking) {
    const int flags = ::fcntl(fd(s), F_GETFL, 0);
    if (flags < 0) return false;
    const int wanted = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd(s), F_SETFL, wanted) == 0;
}

void set_no_delay(NativeSocket s) {
    int one = 1;
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_keepalive(NativeSocket s, int idle_seconds, int interval_seconds, int probes) {
    int one = 1;
    ::setsockopt(fd(s), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds);
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &interval_seconds, sizeof interval_seconds);
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // Unacknowledged data also ends the link, not only idle silence.
    unsigned int user_timeout_ms = static_cast<unsigned int>((idle_seconds + interval_seconds * probes) * 1000);
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}

bool resolve_ipv4(const std::string& host, std::string& dotted) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
    ::freeaddrinfo(found);
    if (ok) dotted = text;
    return ok;
}

ConnectStart start_connect(NativeSocket s, const std::string& ipv4, std::uint16_t port) {
    std::uint32_t address = 0;
    if (!parse_ipv4(ipv4, address)) {
        errno = EINVAL;
        return ConnectStart::failed;
    }
    const sockaddr_in addr = make_address(address, port);
    if (::connect(fd(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return ConnectStart::connected;
    return errno == EINPROGRESS ? ConnectStart::in_progress : ConnectStart::failed;
}

int wait_writable(NativeSocket s, int timeout_ms) { return wait_for(s, POLLOUT, timeout_ms); }

int wait_readable(NativeSocket s, int timeout_ms) { return wait_for(s, POLLIN, timeout_ms); }

bool pending_error(NativeSocket s, int& error) {
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &value, &length) != 0) return false;
    error = value;
    return true;
}

int receive(NativeSocket s, char* buffer, int length) {
    return static_cast<int>(::recv(fd(s), buffer, static_cast<std::size_t>(length), 0));
}

int send(NativeSocket s, const char* data, int length) {
    return static_cast<int>(::send(fd(s), data, static_cast<std::size_t>(length), MSG_NOSIGNAL));
}

void shutdown_both(NativeSocket s) { ::shutdown(fd(s), SHUT_RDWR); }

std::string socket_error_text(int error) { return std::strerror(error); }

int open_handle_count() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the directory stream itself
}

int thread_count() {
    // Linux lists every thread of the process here; elsewhere it is absent.
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

bool unload_may_join_threads() { return true; }
void pin_module() {}
void unpin_module() {}

}  // namespace orvane::platform
