#include "tests/dns/FakeUdpResolver.h"

#include "tests/dns/DnsTestMessages.h"

FakeUdpResolver::FakeUdpResolver(const QHostAddress& address, quint16 port, const QString& answerAddress)
    : answerAddress(answerAddress)
{
    socket.bind(address, port);
    connect(&socket, &QUdpSocket::readyRead, this, &FakeUdpResolver::onReadyRead);
}

void FakeUdpResolver::onReadyRead()
{
    while (socket.hasPendingDatagrams()) {
        QByteArray datagram(int(socket.pendingDatagramSize()), '\0');
        QHostAddress from;
        quint16 port = 0;
        socket.readDatagram(datagram.data(), datagram.size(), &from, &port);
        queries.append(datagram);
        ports.append(port);
        emit signalQuery();
        if (silent)
            continue;
        waiting.append({datagram, from, port});
        if (waiting.size() < holdUntil)
            continue;
        for (int i = waiting.size() - 1; i >= 0; --i) {
            const Waiting& w = waiting.at(i);
            const QByteArray answer = DnsTestMessages::answerA(w.query, answerAddress);
            socket.writeDatagram(answer, w.from, w.port);
            if (answerTwice)
                socket.writeDatagram(answer, w.from, w.port);
        }
        waiting.clear();
    }
}
