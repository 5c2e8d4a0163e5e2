// The only place that knows which operating system we run on. Everything the
// library, the simulator and the tests need from sockets, clocks and the
// module loader goes through this interface; platform_posix.cpp and
// platform_win32.cpp implement it and the build picks one.
#pragma once

#include <cstdint>
#include <string>

namespace orvane::platform {

// A socket handle wide enough for both SOCKET (UINT_PTR) and a POSIX fd.
using NativeSocket = std::intptr_t;
inline constexpr NativeSocket invalid_socket = -1;

// Starts the socket library for the lifetime of the object (WSAStartup /
// WSACleanup on Windows, nothing elsewhere). Nestable.
class NetworkSession {
public:
    NetworkSession();
    ~NetworkSession();
    NetworkSession(const NetworkSession&) = delete;
    NetworkSession& operator=(const NetworkSession&) = delete;
};

// Owns one socket; closes it on destruction. Move-only.
class Socket {
public:
    Socket() = default;
    explicit Socket(NativeSocket handle) : handle_(handle) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : handle_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.release();
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    NativeSocket get() const { return handle_; }
    bool valid() const { return handle_ != invalid_socket; }
    NativeSocket release() {
        NativeSocket h = handle_;
        handle_ = invalid_socket;
        return h;
    }
    void close();

private:
    NativeSocket handle_ = invalid_socket;
};

// The calling thread's last socket error (WSAGetLastError or errno).
int last_socket_error();

// True for the "try again" family (WSAEWOULDBLOCK, EAGAIN, EWOULDBLOCK).
bool is_would_block(int error);

// True when a sending or receiving call was interrupted by a signal and is
// simply to be repeated (EINTR; never on Windows).
bool is_interrupted(int error);

// A new IPv4 TCP stream socket, or an invalid one.
Socket open_tcp_socket();

bool set_non_blocking(NativeSocket s, bool non_blocking);

// Small command lines must not wait for Nagle's algorithm.
void set_no_delay(NativeSocket s);

// Turns on TCP keepalive with the given idle time, probe interval and probe
// count, so that a peer that vanished without a FIN is noticed.
void set_keepalive(NativeSocket s, int idle_seconds, int interval_seconds, int probes);

// Parses dotted-decimal IPv4 text strictly (four decimal octets, nothing
// else). Returns false for anything else.
bool parse_ipv4(const std::string& text, std::uint32_t& address_host_order);

// Looks a host name up as an IPv4 address (the system's resolver; may block)
// and gives it as dotted text. False when there is none.
bool resolve_ipv4(const std::string& host, std::string& dotted);

enum class ConnectStart { connected, in_progress, failed };

// Starts a connect on a non-blocking socket. An address that does not parse
// as IPv4 fails without touching the network.
ConnectStart start_connect(NativeSocket s, const std::string& ipv4, std::uint16_t port);

// Waits until the socket is writable: > 0 ready, 0 time-out, < 0 error.
int wait_writable(NativeSocket s, int timeout_ms);

// Waits until the socket is readable (or has a pending accept):
// > 0 ready, 0 time-out, < 0 error.
int wait_readable(NativeSocket s, int timeout_ms);

// The pending error of a finished connect (SO_ERROR). Returns false when the
// option could not be read.
bool pending_error(NativeSocket s, int& error);

// recv/send with flags 0 (and no SIGPIPE). Result as the platform call:
// > 0 bytes, 0 orderly close (recv only), < 0 error (see last_socket_error).
int receive(NativeSocket s, char* buffer, int length);
int send(NativeSocket s, const char* data, int length);

// Ends both directions; wakes a thread blocked in receive or send.
void shutdown_both(NativeSocket s);

// Text of a socket error code for messages meant for people.
std::string socket_error_text(int error);

// Milliseconds since the process started, from a steady clock.
double process_clock_ms();

// Number of open file descriptors / handles of this process, or -1 where it
// cannot be told. Used by tests that look for leaked sockets.
int open_handle_count();

// Number of threads of this process, or -1 where it cannot be told. Used by
// tests that look for threads left behind.
int thread_count();

// Whether a static destructor that runs while the library is being unloaded
// may join threads. POSIX: yes. Windows: no (it runs under the loader lock,
// and at process exit the threads are already gone).
bool unload_may_join_threads();

// Where threads cannot be stopped at unload, keeps the module loaded while
// the library has threads running inside it, so that a FreeLibrary by the
// host cannot unmap code that still executes. Reference counted; each pin()
// pairs with one unpin(). unpin() never drops the last reference on the
// calling thread: it hands the release to a thread that exits right after.
// Nothing to do on POSIX, where the unload itself stops the threads.
void pin_module();
void unpin_module();

}  // namespace orvane::platform
