// SPDX-License-Identifier: MIT
/// @file
/// JSocket, the socket endpoint of the library, and its two kind enumerations.
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/core/Message.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

struct pollfd;

// Both enumerations are plain ints: any int is a valid value (the three-argument
// constructor passes a listen backlog as UDP_dir; unknown kinds are refused, not undefined).

/// Kind of a JSocket.
enum socket_type : int {
    UDP_SOCKET = 1,  ///< datagram socket; transfers use sendto/recvfrom
    TCP_CLIENT = 2,  ///< stream socket connected to a server
    TCP_SERVER = 3   ///< listening stream socket
};

/// Direction of a datagram JSocket.
enum UDP_dir : int {
    UDP_SEND = 1,    ///< sends to a fixed address
    UDP_RECEIVE = 2  ///< bound to its address; also marks a server that owns its path
};

/// One socket endpoint - a stream client, a listening stream server, or a
/// datagram sender or receiver - with everything needed to open it.
///
/// Sockets opened through InitializeSocket (and the three-argument constructor)
/// are local (AF_UNIX) sockets named by a filesystem path. IPv4 sockets are made
/// by setting type, ip_addr, port (and mcast_if) on a default-constructed object
/// and calling the start operation of the wanted kind. IPv4 numbers are host
/// numbers (224.0.0.0 is 0xE0000000); only address records hold network order.
///
/// Transfer is unframed: one send per message, one receive per received message
/// (ReceiveMessage). Sends never raise SIGPIPE. Failures are 0/-1 results only.
/// Every descriptor the object opens or accepts is close-on-exec: a child that
/// execs holds none of them. GetPeerCredentials tells who is on the other end of
/// a local connection; a send cut short by a send time-out (SO_SNDTIMEO) ends
/// its connection (tcp_send_msg).
///
/// Ownership: the object owns its descriptor and, when it bound a local server
/// or receiving socket itself (direction 2), the file at its path. Accepted
/// client descriptors belong to the caller (tcp_drop_client closes them).
///
/// Threads: no lock. Waits, accepts, transfers and drops only read the object's
/// fields and may run on several threads at once; ResetSocket, InitializeSocket,
/// the start operations and tcp_close_listening_socket must not overlap any
/// other use of the object.
///
/// A local server and a client exchanging one message:
/// @code
/// JSocket server("/tmp/demo.sock", TCP_SERVER, static_cast<UDP_dir>(5));  // backlog 5
/// JSocket client("/tmp/demo.sock", TCP_CLIENT, UDP_SEND);
/// int conn = -1;
/// server.tcp_check_for_connection(nullptr, &conn, 1000);
/// char hello[] = "hello";
/// client.SendMessage(hello, 5, -1);
/// TCPMessage m;
/// m.socket = conn;
/// if (server.ReceiveMessage(&m, 1000))  // m holds "hello"
///     server.SendMessage(&m);           // echoed on the same connection
/// server.tcp_drop_client(conn);
/// @endcode
class FIELDKIT_API JSocket {
public:
    socket_type type;          ///< kind; UDP_SOCKET transfers take the datagram path, every other the stream path
    bool connected;            ///< set by the TCP start operations; read by nothing here
    char name[195];            ///< path of a local socket; empty for IPv4
    unsigned int ip_addr;      ///< IPv4 host number: peer, destination, bind address or group
    int port;                  ///< port; its low 16 bits go into IPv4 addresses
    UDP_dir direction;         ///< datagram direction; 2 (UDP_RECEIVE) also marks a server that owns its path
    unsigned int mcast_if;     ///< interface a multicast receiver joins with; 0 = system's choice
    bool local;                ///< true: AF_UNIX named by `name`; false: AF_INET
    int fd;                    ///< own descriptor; -1 when none
    sockaddr_in addr_in;       ///< IPv4 address of a datagram socket
    sockaddr_in* addr_in_ptr;  ///< &addr_in once an IPv4 datagram socket is set up, else null
    sockaddr_un addr_un;       ///< local address of a datagram socket
    sockaddr* addr;            ///< active datagram address: sendto target, recvfrom source; null until set up
    int addr_len;              ///< length of the active datagram address

    /// Empty object: every field zero, fd -1.
    JSocket();
    /// InitializeSocket(name, type, dir); its result shows in connected (stream) or fd (datagram).
    JSocket(const char* name, socket_type type, UDP_dir dir);
    /// ResetSocket().
    ~JSocket();
    JSocket(const JSocket&) = delete;             ///< one owner per descriptor and path
    JSocket& operator=(const JSocket&) = delete;  ///< one owner per descriptor and path

    /// Closes the descriptor (once), removes an owned path, zeroes every field, fd = -1.
    void ResetSocket();
    /// Resets, then opens a local socket at `name`. arg: the UDP_dir for UDP_SOCKET,
    /// the listen backlog for TCP_SERVER, ignored for TCP_CLIENT. 1 opened, 0 failed.
    /// A null or empty name, or one over 107 characters, is refused (0) before the
    /// reset: the object keeps what it had, nothing is opened or removed.
    int InitializeSocket(const char* name, socket_type type, int arg);

    /// Stream server: unlinks `name`, binds (IPv4: INADDR_ANY:port), listens. 1 listening, 0 failed.
    int tcp_start_server(int backlog);
    /// Up to 10 connects 500 ms apart; 1 connected, 0 gave up with fd -1.
    int tcp_start_client();
    /// Waits up to `timeout` ms and accepts one connection into *client_fd.
    /// *peer gets the IPv4 peer address as a number (0 for a local socket).
    /// 1 accepted; 0 on time-out (nothing written) or failed accept (*client_fd -1).
    /// A null client_fd is refused (0) without waiting or accepting.
    int tcp_check_for_connection(unsigned long* peer, int* client_fd, int timeout);
    /// Who is on the other end of a connected local stream socket (SO_PEERCRED):
    /// fd -1 = own. 1 with the peer's pid, uid, gid stored (null pointers skipped);
    /// 0 for anything else (datagram, IPv4, listening or closed socket, bad fd).
    int GetPeerCredentials(int fd, pid_t* pid, uid_t* uid, gid_t* gid);
    /// Closes `client_fd` unless it is -1, then sets it to -1.
    void tcp_drop_client(int& client_fd);
    /// No-linger close of fd; fd keeps its number and later resets close nothing.
    void tcp_close_listening_socket();
    /// Bounds every later send on the own descriptor of a stream client or a
    /// datagram socket to `ms` milliseconds (SO_SNDTIMEO); 0 removes the bound.
    /// A datagram that cannot go out in time is not sent (SendMessage 0) and the
    /// socket stays usable; a stream send cut short ends its connection
    /// (tcp_send_msg). A signal during a bounded send neither loses bytes nor
    /// ends it early. 1 set; 0 refused: negative `ms`, no descriptor, or a
    /// listening socket (type TCP_SERVER).
    int SetSendTimeout(int ms);
    /// Switches lingering off on close (SO_LINGER); 1 set, 0 failed.
    int tcp_set_socket_nolinger();
    /// SO_REUSEADDR on; 1 set, 0 failed.
    int set_socket_ReUseAddr();
    /// Adds O_NONBLOCK; the result of fcntl(F_SETFL): 0 or -1.
    int set_socket_nonblock();

    /// Waits for `fd` (-1 = own) to be readable; timeout ms, negative = no limit,
    /// 0 = poll. retry != 0 resumes after signals with the remaining time.
    /// >0 readable, 0 time-out, -1 error. Any descriptor number works; a negative
    /// one, or the own one once closed, is -1 with errno EBADF.
    int check_read(int timeout, int fd, int retry);
    /// TCP_SERVER only: 1 when a connection is pending within `timeout` ms, else 0.
    int tcp_WaitForActivity(int timeout);

    /// Sends m's bytes on m->socket; as SendMessage(m->data, m->length, m->socket).
    int SendMessage(TCPMessage* m);
    /// Sends m's bytes on `fd`; as SendMessage(m->data, m->length, fd).
    int SendMessage(Message* m, int fd);
    /// One send of `len` bytes. Stream: on `fd` (-1 = own), as tcp_send_msg. Datagram:
    /// on the own descriptor to addr; 1 when a non-empty datagram went out, else 0.
    int SendMessage(void* buf, unsigned long len, int fd);
    /// As ReceiveMessage(m, timeout, m->socket).
    bool ReceiveMessage(TCPMessage* m, unsigned short timeout);
    /// Waits up to `timeout` ms (0 polls) and receives at most 2048 bytes into m.
    /// True when at least one byte came; false leaves m untouched.
    bool ReceiveMessage(Message* m, unsigned short timeout, int fd);
    /// Waits up to `timeout` ms (0 polls), then one receive of at most `len` bytes:
    /// stream on `fd` (-1 = own), datagram on the own descriptor, the sender's
    /// address going to addr. Bytes received (0 for an empty datagram), or -1.
    int ReceiveMessage(void* buf, unsigned long len, unsigned short timeout, int fd);
    /// One send on `fd` (-1 = own): 1 when the connection is still usable, 0 when
    /// it is lost (tcp_check_connection). A send cut short by the descriptor's send
    /// time-out (SO_SNDTIMEO on a blocking descriptor: a short count or EAGAIN)
    /// also shuts the connection down both ways, so the peer sees its end; the
    /// result is unchanged. On a descriptor with a send time-out, a signal that
    /// breaks the send off does not end it: the rest goes out within what is left
    /// of the time-out (waiting for room, then sending without blocking).
    int tcp_send_msg(char* buf, unsigned long len, int fd);
    /// Waits up to 10 ms, then one receive on `fd` (-1 = own): bytes (>0), or -1
    /// for a time-out, an error or a peer that closed.
    int tcp_receive_msg(char* buf, unsigned long len, int fd);
    /// From errno after a failed send: 0 the connection is lost (EPIPE, ENETUNREACH,
    /// ECONNRESET, ENOTCONN, EHOSTUNREACH), 1 still usable.
    int tcp_check_connection();

    /// Opens a datagram receiver: up to 11 attempts 1 s apart; 1 open, 0 failed (fd -1).
    /// Sets no type: transfers take the datagram path only when type is UDP_SOCKET.
    int create_udp_receive_socket();
    /// Opens a datagram sender, likewise.
    int create_udp_send_socket();
    /// One datagram set-up attempt; true when it opened and prepared the socket.
    bool udp_setup_socket();
    /// Joins `group` on interface `iface` (host numbers); setsockopt's 0 done, -1 failed.
    int mcast_join(unsigned long group, unsigned long iface);
    /// Multicast loopback 0 off, 1 on; setsockopt's 0 done, -1 failed.
    int mcast_set_loopback(unsigned char on);
    /// Hop limit of sent multicast datagrams; setsockopt's 0 done, -1 failed.
    int mcast_set_ttl(unsigned char ttl);
    /// Sending interface, by the address in ip_addr; setsockopt's 0 done, -1 failed.
    int mcast_set_if();

protected:
    /// poll() for readability of `count` entries for at most `timeout` ms
    /// (negative: no limit); retry != 0 resumes after signals with the time that
    /// remains. Result: entries ready (>0), 0 on time-out, -1 on error.
    static int poll_readable(pollfd* set, unsigned long count, int timeout, int retry);

private:
    // What close_own_fd leaves in `fd`: the closed number (kKeep; a later reset
    // closes nothing but still removes an owned path) or -1 (kForget).
    enum class Number { kKeep, kForget };

    // True once the own descriptor is closed while `fd` keeps its number.
    bool fd_closed_;

    // The descriptor an operation acts on: `fd`, or the own one for -1; -1 when
    // the own one is already closed (its number may belong to another file now).
    FIELDKIT_LOCAL int resolve_fd(int fd) const;
    // The one pair that changes the own descriptor. open_own_fd closes an open
    // one, then fd = socket(family, sock_type | SOCK_CLOEXEC, protocol): the new
    // fd, -1 when socket() failed. close_own_fd closes it unless already closed.
    FIELDKIT_LOCAL int open_own_fd(int family, int sock_type, int protocol);
    FIELDKIT_LOCAL void close_own_fd(Number number);
    // Stream address of this socket in *out: the local address of `name`, or
    // IPv4 `ipv4_host`:port. Result: the address length.
    FIELDKIT_LOCAL socklen_t stream_address(sockaddr_storage* out, unsigned int ipv4_host) const;
    // Local address of `name`: AF_UNIX, the first 107 characters, zero-filled.
    // Result: path length + 2.
    FIELDKIT_LOCAL static socklen_t local_address(const char* name, sockaddr_un* out);
};
