// Linux: options through getsockopt, the link's socket among /proc/self/fd.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

#include "link_platform.h"

namespace orvane::testing {

namespace {
bool read_int(int fd, int level, int name, long& out) {
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(fd, level, name, &value, &size) != 0) return false;
    out = value;
    return true;
}
}  // namespace

bool socket_options_accessible(std::string&) { return true; }

bool read_socket_options(platform::NativeSocket s, SocketOptions& options) {
    const int fd = static_cast<int>(s);
    long no_delay = -1, keepalive = -1, idle = -1, interval = -1, probes = -1, user_timeout = -1;
    if (!read_int(fd, IPPROTO_TCP, TCP_NODELAY, no_delay) || !read_int(fd, SOL_SOCKET, SO_KEEPALIVE, keepalive) ||
        !read_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, idle) || !read_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, interval) ||
        !read_int(fd, IPPROTO_TCP, TCP_KEEPCNT, probes) ||
        !read_int(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, user_timeout)) {
        return false;
    }
    options.no_delay = no_delay != 0 ? 1 : 0;
    options.keepalive = keepalive != 0 ? 1 : 0;
    options.keepalive_idle_s = static_cast<int>(idle);
    options.keepalive_interval_s = static_cast<int>(interval);
    options.keepalive_probes = static_cast<int>(probes);
    options.user_timeout_ms = user_timeout;
    return true;
}

bool shrink_send_buffer(platform::NativeSocket s) {
    int size = 4096;  // the kernel doubles it, and keeps a minimum
    return ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
}

platform::NativeSocket find_socket_connected_to(std::uint16_t port) {
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) return platform::invalid_socket;
    platform::NativeSocket found = platform::invalid_socket;
    while (const dirent* entry = ::readdir(fds)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(fds)) continue;
        struct stat info {};
        if (::fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
        sockaddr_in far{};
        socklen_t size = sizeof far;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&far), &size) != 0) continue;
        if (far.sin_family == AF_INET && ntohs(far.sin_port) == port &&
            ntohl(far.sin_addr.s_addr) == INADDR_LOOPBACK) {
            found = fd;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

bool running_under_wine() { return false; }

}  // namespace orvane::testing
