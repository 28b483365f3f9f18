#include "platform/DatagramSocket.h"

#include <cstddef>
#include <cstring>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

static_assert(sizeof(sockaddr_in6) <= 28 && sizeof(sockaddr_in) <= 28, "DatagramPeer::storage too small");
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port), "port at one place");

#ifdef Q_OS_WIN
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif
using NativeSocket = SOCKET;
const NativeSocket invalidSocket = INVALID_SOCKET;
// Not inherited by programs the agent starts (port 53 stays the agent's).
NativeSocket openNative(int family)
{
    return ::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}
int lastError()
{
    return ::WSAGetLastError();
}
bool wouldBlock(int code)
{
    return code == WSAEWOULDBLOCK;
}
bool noSuchAddress(int code)
{
    return code == WSAEADDRNOTAVAIL || code == WSAEAFNOSUPPORT || code == WSAEPROTONOSUPPORT;
}
void closeNative(NativeSocket socket)
{
    ::closesocket(socket);
}
QString errorText(int code)
{
    return QStringLiteral("socket error %1").arg(code);
}
#else
using NativeSocket = int;
const NativeSocket invalidSocket = -1;
// Not inherited by programs the agent starts (port 53 stays the agent's).
NativeSocket openNative(int family)
{
    return ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}
int lastError()
{
    return errno;
}
bool wouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK;
}
bool noSuchAddress(int code)
{
    return code == EADDRNOTAVAIL || code == EAFNOSUPPORT || code == EPROTONOSUPPORT;
}
void closeNative(NativeSocket socket)
{
    ::close(socket);
}
QString errorText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}
#endif

NativeSocket native(qintptr handle)
{
    return static_cast<NativeSocket>(handle);
}

// Fills `storage` with `address` in the socket's family: an IPv4 address on
// an IPv6 socket becomes ::ffff:a.b.c.d. Returns the length, 0 when the
// address does not fit the family.
int toNative(const QHostAddress& address, quint16 port, int family, unsigned char* storage)
{
    const QAbstractSocket::NetworkLayerProtocol protocol = address.protocol();
    if (family == AF_INET) {
        if (protocol != QAbstractSocket::IPv4Protocol && protocol != QAbstractSocket::AnyIPProtocol)
            return 0;
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(protocol == QAbstractSocket::IPv4Protocol ? address.toIPv4Address() : 0);
        std::memcpy(storage, &in, sizeof in);
        return static_cast<int>(sizeof in);
    }
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (protocol == QAbstractSocket::IPv4Protocol) {
        in6.sin6_addr.s6_addr[10] = 0xff;
        in6.sin6_addr.s6_addr[11] = 0xff;
        const quint32 net = htonl(address.toIPv4Address());
        std::memcpy(&in6.sin6_addr.s6_addr[12], &net, 4);
    } else if (protocol == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6.sin6_addr, bytes.c, 16);
        in6.sin6_scope_id = address.scopeId().toUInt();
    } else if (protocol != QAbstractSocket::AnyIPProtocol) {
        return 0;
    }
    std::memcpy(storage, &in6, sizeof in6);
    return static_cast<int>(sizeof in6);
}

} // namespace

quint16 DatagramPeer::port() const
{
    // The port sits at the same place in both forms.
    quint16 net = 0;
    if (length > 0)
        std::memcpy(&net, storage + offsetof(sockaddr_in, sin_port), sizeof net);
    return ntohs(net);
}

void DatagramPeer::setPort(quint16 port)
{
    const quint16 net = htons(port);
    std::memcpy(storage + offsetof(sockaddr_in, sin_port), &net, sizeof net);
}

QHostAddress DatagramPeer::address() const
{
    if (length == static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in in;
        std::memcpy(&in, storage, sizeof in);
        return QHostAddress(ntohl(in.sin_addr.s_addr));
    }
    if (length != static_cast<int>(sizeof(sockaddr_in6)))
        return QHostAddress();
    sockaddr_in6 in6;
    std::memcpy(&in6, storage, sizeof in6);
    QHostAddress address(reinterpret_cast<const quint8*>(&in6.sin6_addr));
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

bool DatagramPeer::sameEndpoint(const DatagramPeer& other) const
{
    if (length == 0 || length != other.length || port() != other.port())
        return false;
    if (length == static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in a;
        sockaddr_in b;
        std::memcpy(&a, storage, sizeof a);
        std::memcpy(&b, other.storage, sizeof b);
        return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    if (length != static_cast<int>(sizeof(sockaddr_in6)))
        return false;
    sockaddr_in6 a;
    sockaddr_in6 b;
    std::memcpy(&a, storage, sizeof a);
    std::memcpy(&b, other.storage, sizeof b);
    return a.sin6_family == b.sin6_family && std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
}

DatagramSocket::~DatagramSocket()
{
    close();
}

bool DatagramSocket::isOpen() const
{
    return handle != -1;
}

qintptr DatagramSocket::descriptor() const
{
    return handle;
}

quint16 DatagramSocket::localPort() const
{
    if (handle == -1)
        return 0;
    DatagramPeer local;
#ifdef Q_OS_WIN
    int length = static_cast<int>(sizeof local.storage);
#else
    socklen_t length = sizeof local.storage;
#endif
    if (::getsockname(native(handle), reinterpret_cast<sockaddr*>(local.storage), &length) != 0)
        return 0;
    local.length = static_cast<int>(length);
    return local.port();
}

void DatagramSocket::close()
{
    if (handle == -1)
        return;
    closeNative(native(handle));
    handle = -1;
#ifdef Q_OS_WIN
    ::WSACleanup();
#endif
}

bool DatagramSocket::bind(const QHostAddress& address, quint16 port)
{
    close();
    missingAddress = false;
#ifdef Q_OS_WIN
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error = QStringLiteral("no Winsock");
        return false;
    }
    // From here close() pairs the startup with its cleanup.
#endif
    const bool any = address == QHostAddress(QHostAddress::Any);
    family = address.protocol() == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6;
    NativeSocket socket = openNative(family);
    if (socket == invalidSocket && any) {
        // A system without IPv6: every IPv4 address then.
        family = AF_INET;
        socket = openNative(family);
    }
    if (socket == invalidSocket) {
        const int code = lastError();
        error = errorText(code);
        missingAddress = noSuchAddress(code);
#ifdef Q_OS_WIN
        ::WSACleanup();
#endif
        return false;
    }
    handle = static_cast<qintptr>(socket);
    if (family == AF_INET6 && any) {
        // One socket for both families, as QUdpSocket binds to Any.
        const int off = 0;
        ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
    }
    unsigned char storage[28];
    const int length = toNative(address, port, family, storage);
    bool nonBlocking = false;
#ifdef Q_OS_WIN
    u_long on = 1;
    nonBlocking = ::ioctlsocket(socket, FIONBIO, &on) == 0;
#else
    const int flags = ::fcntl(socket, F_GETFL);
    nonBlocking = flags != -1 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
    if (length == 0 || !nonBlocking ||
        ::bind(socket, reinterpret_cast<const sockaddr*>(storage), length) != 0) {
        const int code = length == 0 ? 0 : lastError();
        error = length == 0 ? QStringLiteral("not an address of this socket's family") : errorText(code);
        close();
        missingAddress = length != 0 && noSuchAddress(code);
        return false;
    }
    error.clear();
    return true;
}

void DatagramSocket::setReceiveBufferSize(int bytes)
{
    if (handle == -1)
        return;
    ::setsockopt(native(handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

DatagramPeer DatagramSocket::peer(const QHostAddress& address, quint16 port) const
{
    DatagramPeer peer;
    if (handle != -1 && !address.isNull())
        peer.length = toNative(address, port, family, peer.storage);
    return peer;
}

int DatagramSocket::receive(Received* messages, int count)
{
    if (handle == -1 || count <= 0)
        return 0;
    count = qMin(count, maxBatch);
#ifdef Q_OS_WIN
    int read = 0;
    while (read < count) {
        Received& message = messages[read];
        int length = static_cast<int>(sizeof message.peer.storage);
        const int size = ::recvfrom(native(handle), message.data, message.capacity, 0,
                                    reinterpret_cast<sockaddr*>(message.peer.storage), &length);
        if (size >= 0) {
            message.size = size;
            message.truncated = false;
        } else {
            const int code = lastError();
            // An earlier datagram's ICMP error: more may wait behind it.
            if (code == WSAECONNRESET)
                continue;
            if (code != WSAEMSGSIZE) {
                if (!wouldBlock(code))
                    error = errorText(code);
                break;
            }
            // Cut to fit; its true length is not told.
            message.size = message.capacity;
            message.truncated = true;
        }
        message.peer.length = length;
        ++read;
    }
    return read;
#else
    mmsghdr headers[maxBatch];
    iovec vectors[maxBatch];
    std::memset(headers, 0, sizeof(mmsghdr) * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = messages[i].data;
        vectors[i].iov_len = static_cast<size_t>(messages[i].capacity);
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_name = messages[i].peer.storage;
        headers[i].msg_hdr.msg_namelen = sizeof messages[i].peer.storage;
    }
    int read = -1;
    do {
        // MSG_TRUNC: the true length of a datagram that did not fit.
        read = ::recvmmsg(native(handle), headers, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC,
                          nullptr);
    } while (read < 0 && errno == EINTR);
    if (read < 0) {
        if (!wouldBlock(errno))
            error = errorText(errno);
        return 0;
    }
    for (int i = 0; i < read; ++i) {
        Received& message = messages[i];
        message.size = static_cast<int>(headers[i].msg_len);
        message.truncated =
            (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || message.size > message.capacity;
        message.peer.length = static_cast<int>(headers[i].msg_hdr.msg_namelen);
    }
    return read;
#endif
}

int DatagramSocket::send(const Outgoing* messages, int count)
{
    if (handle == -1 || count <= 0)
        return 0;
    int sent = 0;
#ifdef Q_OS_WIN
    for (int i = 0; i < count; ++i) {
        const Outgoing& message = messages[i];
        WSABUF parts[2];
        parts[0].buf = const_cast<char*>(message.head);
        parts[0].len = static_cast<ULONG>(message.headSize);
        parts[1].buf = const_cast<char*>(message.body);
        parts[1].len = static_cast<ULONG>(message.bodySize);
        DWORD bytes = 0;
        if (::WSASendTo(native(handle), parts, 2, &bytes, 0,
                        reinterpret_cast<const sockaddr*>(message.peer->storage), message.peer->length,
                        nullptr, nullptr) == 0)
            ++sent;
        else
            error = errorText(lastError());
    }
#else
    int done = 0;
    while (done < count) {
        const int batch = qMin(count - done, maxBatch);
        mmsghdr headers[maxBatch];
        iovec vectors[2 * maxBatch];
        std::memset(headers, 0, sizeof(mmsghdr) * static_cast<size_t>(batch));
        for (int i = 0; i < batch; ++i) {
            const Outgoing& message = messages[done + i];
            vectors[2 * i].iov_base = const_cast<char*>(message.head);
            vectors[2 * i].iov_len = static_cast<size_t>(message.headSize);
            vectors[2 * i + 1].iov_base = const_cast<char*>(message.body);
            vectors[2 * i + 1].iov_len = static_cast<size_t>(message.bodySize);
            headers[i].msg_hdr.msg_iov = &vectors[2 * i];
            headers[i].msg_hdr.msg_iovlen = 2;
            headers[i].msg_hdr.msg_name = const_cast<unsigned char*>(message.peer->storage);
            headers[i].msg_hdr.msg_namelen = static_cast<socklen_t>(message.peer->length);
        }
        const int result = ::sendmmsg(native(handle), headers, static_cast<unsigned>(batch), MSG_DONTWAIT);
        if (result > 0) {
            sent += result;
            done += result;
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else {
            // The first of the rest was refused (a full buffer, an
            // unreachable peer): it is lost, as a datagram may be.
            error = errorText(result < 0 ? errno : EIO);
            ++done;
        }
    }
#endif
    return sent;
}
