#pragma once

#include <QHostAddress>
#include <QString>
#include <QtGlobal>

// A peer's address and port in the form the socket calls take, converted
// once: the DNS proxy keeps the resolver's and the loopback clients' and
// only changes the port per answer.
class DatagramPeer
{
public:
    DatagramPeer() = default;

    bool isNull() const { return length == 0; }
    quint16 port() const;
    void setPort(quint16 port);
    // For log lines: an IPv4 address mapped into IPv6 is shown as IPv4.
    QHostAddress address() const;
    // Same family, address and port (flow label and scope not compared):
    // whether an answer came from where its query went.
    bool sameEndpoint(const DatagramPeer& other) const;

private:
    friend class DatagramSocket;
    // Room for the largest form (IPv6: 28 bytes on Linux and Windows).
    alignas(8) unsigned char storage[28] = {};
    int length = 0;
};

// A non-blocking UDP socket that reads and writes many datagrams per system
// call where the system has such calls (recvmmsg/sendmmsg on Linux), one by
// one elsewhere. Nothing waits: the owner watches descriptor() with a
// QSocketNotifier and reads when it fires.
class DatagramSocket
{
public:
    struct Received
    {
        // Filled by the caller: where the datagram goes, and its room.
        char* data = nullptr;
        int capacity = 0;
        // Filled by receive(): the datagram's length (its true length where
        // the system tells it, even when it did not fit) and whether it was
        // cut to fit `capacity`.
        int size = 0;
        bool truncated = false;
        DatagramPeer peer;
    };
    struct Outgoing
    {
        // The datagram is `head` followed by `body`, sent as one: the DNS
        // proxy puts the client's ID in front of an answer without copying it.
        const char* head = nullptr;
        int headSize = 0;
        const char* body = nullptr;
        int bodySize = 0;
        const DatagramPeer* peer = nullptr;
    };
    // Datagrams per receive() or send() call at most.
    static constexpr int maxBatch = 64;

    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Binds to `address` (QHostAddress::Any: every IPv6 and IPv4 address,
    // from one socket where the system allows) and makes the socket
    // non-blocking. False, with errorString(), when that fails.
    bool bind(const QHostAddress& address, quint16 port);
    bool isOpen() const;
    void close();
    // For QSocketNotifier; -1 while closed.
    qintptr descriptor() const;
    // The system's address family of the socket (AF_INET or AF_INET6); peers
    // made by sockets of one family fit each other.
    int addressFamily() const { return family; }
    // The port the socket is bound to, 0 while closed.
    quint16 localPort() const;
    void setReceiveBufferSize(int bytes);
    QString errorString() const { return error; }
    // The last bind() failed because the machine has no such address or no
    // such address family (IPv6 switched off), not because the port is taken.
    bool addressMissing() const { return missingAddress; }
    // The peer in the form this socket sends to (an IPv4 address is mapped
    // into IPv6 on a socket bound to every address); null when `address`
    // is not one this socket can reach.
    DatagramPeer peer(const QHostAddress& address, quint16 port) const;

    // Reads up to `count` (at most maxBatch) waiting datagrams; returns how
    // many were read, 0 when none was waiting or on an error.
    int receive(Received* messages, int count);
    // Sends `count` datagrams (any number); returns how many the system
    // took. One that is refused is skipped and the rest still go.
    int send(const Outgoing* messages, int count);

private:
    qintptr handle = -1;
    int family = 0;
    QString error;
    bool missingAddress = false;
};
