// Windows Sockets 2 and the Windows loader.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace orvane::platform {

namespace {
SOCKET sock(NativeSocket s) { return static_cast<SOCKET>(s); }

sockaddr_in make_address(std::uint32_t address_host_order, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address_host_order);
    return addr;
}

int select_one(NativeSocket s, bool for_write, int timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock(s), &set);
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    return ::select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
}
}  // namespace

NetworkSession::NetworkSession() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

NetworkSession::~NetworkSession() { WSACleanup(); }

void Socket::close() {
    if (handle_ != invalid_socket) {
        ::closesocket(sock(handle_));
        handle_ = invalid_socket;
    }
}

int last_socket_error() { return WSAGetLastError(); }

bool is_would_block(int error) { return error == WSAEWOULDBLOCK; }

bool is_interrupted(int) { return false; }

Socket open_tcp_socket() {
    // Not inherited by child processes of the host.
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    return Socket(s == INVALID_SOCKET ? invalid_socket : static_cast<NativeSocket>(s));
}

bool set_non_blocking(NativeSocket s, bool non_blocking) {
    u_long mode = non_blocking ? 1 : 0;
    return ::ioctlsocket(sock(s), FIONBIO, &mode) == 0;
}

void set_no_delay(NativeSocket s) {
    BOOL one = TRUE;
    ::setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void set_keepalive(NativeSocket s, int idle_seconds, int interval_seconds, int probes) {
    BOOL one = TRUE;
    ::setsockopt(sock(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    tcp_keepalive settings{};
    settings.onoff = 1;
    settings.keepalivetime = static_cast<ULONG>(idle_seconds) * 1000;
    settings.keepaliveinterval = static_cast<ULONG>(interval_seconds) * 1000;
    DWORD returned = 0;
    ::WSAIoctl(sock(s), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0, &returned, nullptr, nullptr);
    // Newer Windows takes the probe count and a limit on retransmissions of
    // unacknowledged data; older versions reject the options and keep their
    // fixed ten probes.
    constexpr int keepalive_count_option = 16;  // TCP_KEEPCNT
    constexpr int max_retransmit_seconds_option = 5;  // TCP_MAXRT
    DWORD count = static_cast<DWORD>(probes);
    ::setsockopt(sock(s), IPPROTO_TCP, keepalive_count_option, reinterpret_cast<const char*>(&count), sizeof count);
    DWORD max_rt = static_cast<DWORD>(idle_seconds + interval_seconds * probes);
    ::setsockopt(sock(s), IPPROTO_TCP, max_retransmit_seconds_option, reinterpret_cast<const char*>(&max_rt),
                 sizeof max_rt);
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
        WSASetLastError(WSAEINVAL);
        return ConnectStart::failed;
    }
    const sockaddr_in addr = make_address(address, port);
    if (::connect(sock(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return ConnectStart::connected;
    return WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::in_progress : ConnectStart::failed;
}

int wait_writable(NativeSocket s, int timeout_ms) { return select_one(s, true, timeout_ms); }

int wait_readable(NativeSocket s, int timeout_ms) { return select_one(s, false, timeout_ms); }

bool pending_error(NativeSocket s, int& error) {
    int value = 0;
    int length = sizeof value;
    if (::getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) != 0) return false;
    error = value;
    return true;
}

int receive(NativeSocket s, char* buffer, int length) { return ::recv(sock(s), buffer, length, 0); }

int send(NativeSocket s, const char* data, int length) { return ::send(sock(s), data, length, 0); }

void shutdown_both(NativeSocket s) { ::shutdown(sock(s), SD_BOTH); }

std::string socket_error_text(int error) {
    char buffer[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text.empty() ? "socket error " + std::to_string(error) : text;
}

int open_handle_count() {
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
    return static_cast<int>(count);
}

int thread_count() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

bool unload_may_join_threads() { return false; }

namespace {
std::mutex pin_mutex;
int pin_count = 0;
HMODULE pinned_module = nullptr;

DWORD WINAPI release_module(LPVOID module) {
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}
}  // namespace

void pin_module() {
    std::lock_guard lock(pin_mutex);
    if (pin_count++ > 0) return;
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&pin_module), &self);
    pinned_module = self;
}

void unpin_module() {
    HMODULE module = nullptr;
    {
        std::lock_guard lock(pin_mutex);
        if (pin_count == 0 || --pin_count > 0) return;
        module = pinned_module;
        pinned_module = nullptr;
    }
    if (module == nullptr) return;
    // The host may already have let go of the library: the release could be
    // the last one, so it must not run on a thread that returns into it.
    HANDLE thread = CreateThread(nullptr, 0, release_module, module, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    } else {
        FreeLibrary(module);
    }
}

}  // namespace orvane::platform
