// SPDX-License-Identifier: MIT
// JSocket: one socket endpoint - a stream client, a listening stream server, or
// a datagram sender or receiver - with everything needed to open it.
//
// Sockets opened through InitializeSocket (and the three-argument constructor)
// are local (AF_UNIX) sockets named by a filesystem path. IPv4 sockets are made
// by setting type, ip_addr, port (and mcast_if) on a default-constructed object
// and calling the start operation of the wanted kind. IPv4 numbers are host
// numbers (224.0.0.0 is 0xE0000000); only address records hold network order.
//
// Transfer is unframed: one send per message, one receive of at most 2048 bytes
// into a Message. Sends never raise SIGPIPE. Failures are 0/-1 results only.
//
// Ownership: the object owns its descriptor and, when it bound a local server
// or receiving socket itself (direction 2), the file at its path. Accepted
// client descriptors belong to the caller (tcp_drop_client closes them).
// Threads: no lock. Waits, accepts, transfers and drops only read the object's
// fields and may run on several threads at once; ResetSocket, InitializeSocket,
// the start operations and tcp_close_listening_socket must not overlap any
// other use of the object.
#pragma once

#include <fieldkit/Export.h>
#include <fieldkit/core/Message.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

// Both enumerations are plain ints: any int is a valid value (the three-argument
// constructor passes a listen backlog as UDP_dir; unknown kinds are refused, not undefined).
struct pollfd;

enum socket_type : int { UDP_SOCKET = 1, TCP_CLIENT = 2, TCP_SERVER = 3 };
enum UDP_dir : int { UDP_SEND = 1, UDP_RECEIVE = 2 };

class FIELDKIT_API JSocket {
public:
    socket_type type;
    bool connected;           // set by the TCP start operations; read by nothing here
    char name[195];           // path of a local socket; empty for IPv4
    unsigned int ip_addr;     // IPv4 host number: peer, destination, bind address or group
    int port;                 // low 16 bits go into IPv4 addresses
    UDP_dir direction;        // 2 (UDP_RECEIVE) also marks a server that owns its path
    unsigned int mcast_if;    // interface a multicast receiver joins with; 0 = system's choice
    bool local;               // true: AF_UNIX named by `name`; false: AF_INET
    int fd;                   // own descriptor; -1 when none
    sockaddr_in addr_in;      // IPv4 address of a datagram socket
    sockaddr_in* addr_in_ptr; // &addr_in once an IPv4 datagram socket is set up
    sockaddr_un addr_un;      // local address of a datagram socket
    sockaddr* addr;           // active datagram address: sendto target, recvfrom source
    int addr_len;

    JSocket();
    // InitializeSocket(name, type, dir); its result shows in connected / fd.
    JSocket(const char* name, socket_type type, UDP_dir dir);
    ~JSocket();
    JSocket(const JSocket&) = delete;  // one owner per descriptor and path
    JSocket& operator=(const JSocket&) = delete;

    // Closes the descriptor (once), removes an owned path, zeroes every field, fd = -1.
    void ResetSocket();
    // Resets, then opens a local socket at `name`. arg: the UDP_dir for UDP_SOCKET,
    // the listen backlog for TCP_SERVER, ignored for TCP_CLIENT. 1 opened, 0 failed.
    // A null or empty name, or one over 107 characters, is refused (0) before the
    // reset: the object keeps what it had, nothing is opened or removed.
    int InitializeSocket(const char* name, socket_type type, int arg);

    // Stream set-up. Server: unlink `name`, bind (IPv4: INADDR_ANY:port), listen.
    int tcp_start_server(int backlog);
    // Up to 10 connects 500 ms apart; 1 connected, 0 gave up with fd -1.
    int tcp_start_client();
    // Waits up to `timeout` ms and accepts one connection into *client_fd.
    // *peer gets the IPv4 peer address as a number (0 for a local socket).
    // 1 accepted; 0 on time-out (nothing written) or failed accept (*client_fd -1).
    // A null client_fd is refused (0) without waiting or accepting.
    int tcp_check_for_connection(unsigned long* peer, int* client_fd, int timeout);
    // Who is on the other end of a connected local stream socket (SO_PEERCRED):
    // fd -1 = own. 1 with the peer's pid, uid, gid stored (null pointers skipped);
    // 0 for anything else (datagram, IPv4, listening or closed socket, bad fd).
    int GetPeerCredentials(int fd, pid_t* pid, uid_t* uid, gid_t* gid);
    void tcp_drop_client(int& client_fd);  // closes unless -1, then sets -1
    void tcp_close_listening_socket();     // no-linger close of fd; later resets skip it
    int tcp_set_socket_nolinger();         // 1 set, 0 failed
    int set_socket_ReUseAddr();            // 1 set, 0 failed
    int set_socket_nonblock();             // result of fcntl(F_SETFL): 0 or -1

    // Waits for `fd` (-1 = own) to be readable; timeout ms, negative = no limit,
    // 0 = poll. retry != 0 resumes after signals with the remaining time.
    // >0 readable, 0 time-out, -1 error. Any descriptor number works; a negative
    // one, or the own one once closed, is -1 with errno EBADF.
    int check_read(int timeout, int fd, int retry);
    // TCP_SERVER only: 1 when a connection is pending within `timeout` ms, else 0.
    int tcp_WaitForActivity(int timeout);

    // Transfer. fd -1 means the own descriptor; datagram sockets always use
    // their own descriptor and addr. Sends: 1 when the connection is still
    // usable (stream) or a non-empty datagram went out, else 0.
    int SendMessage(TCPMessage* m);
    int SendMessage(Message* m, int fd);
    int SendMessage(void* buf, unsigned long len, int fd);
    // Receives: waits up to `timeout` ms (0 polls). The Message forms read at most
    // 2048 bytes and leave the message untouched on failure.
    bool ReceiveMessage(TCPMessage* m, unsigned short timeout);
    bool ReceiveMessage(Message* m, unsigned short timeout, int fd);
    int ReceiveMessage(void* buf, unsigned long len, unsigned short timeout, int fd);  // bytes or -1
    // 1 or 0, as SendMessage. A send cut short by the descriptor's send time-out
    // (SO_SNDTIMEO on a blocking descriptor: a short count or EAGAIN) also shuts the
    // connection down both ways, so the peer sees its end; the result is unchanged.
    int tcp_send_msg(char* buf, unsigned long len, int fd);
    int tcp_receive_msg(char* buf, unsigned long len, int fd);  // bytes (>0) or -1
    int tcp_check_connection();  // from errno: 0 the connection is lost, 1 still usable

    // Datagram set-up (type must be UDP_SOCKET for transfers to use sendto/recvfrom).
    int create_udp_receive_socket();  // up to 11 attempts 1 s apart; 1 open, 0 failed
    int create_udp_send_socket();     // likewise
    bool udp_setup_socket();          // one attempt
    // Multicast options on fd; setsockopt's result: 0 done, -1 failed.
    int mcast_join(unsigned long group, unsigned long iface);
    int mcast_set_loopback(unsigned char on);
    int mcast_set_ttl(unsigned char ttl);
    int mcast_set_if();  // interface address taken from ip_addr

protected:
    // poll() for readability of `count` entries for at most `timeout` ms
    // (negative: no limit); retry != 0 resumes after signals with the time that
    // remains. Result: entries ready (>0), 0 on time-out, -1 on error.
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
