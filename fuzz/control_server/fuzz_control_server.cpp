// Stateful libFuzzer target for the agent's control server: a real TcpServer
// on a loopback port, driven by several clients with random sequences of
// frames (valid commands and raw bytes), closes and resets, while the
// command handlers answer at once or wait in a nested event loop the way the
// backend layer does, and answer late. While a handler waits, the input goes
// on being played inside its wait: clients leave, others connect and send,
// other handlers wait in turn. Whatever happens, the server must not crash,
// must forget every connection once its client is gone, and must still serve
// a new client at the end.
#include "common/ControlFrame.h"
#include "common/MessageNames.h"
#include "control/TcpServer.h"
#include "fuzz/FuzzSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <type_traits>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

// The PIN guard keeps its state in the settings store; the fuzzer keeps it
// in memory (where the server offers that), so inputs do not touch files.
template <typename T>
auto isolate(T& server, int) -> decltype(server.setPinGuardStore(nullptr, nullptr), void())
{
    using State = typename std::decay_t<decltype(server.pinGuard())>::State;
    auto state = std::make_shared<State>();
    server.setPinGuardStore([state] { return *state; }, [state](const State& s) { *state = s; });
}
template <typename T> void isolate(T&, long) {}

// Runs the event loop for a moment: a real nested loop, as a backend wait
// is, so that deferred deletions run inside it too.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QByteArray frameOf(const char* info, const QJsonObject& data = QJsonObject(), bool withData = false)
{
    return ControlFrame::encode(ControlFrame::envelope(QLatin1String(info), data, withData));
}

class Driver
{
public:
    static constexpr int maxClients = 6;
    static constexpr int maxDepth = 3;

    Driver(const uint8_t* data, size_t size) : input(data), remaining(size) {}

    void run()
    {
        server = std::make_unique<TcpServer>(0);
        check(server->isListening());
        isolate(*server, 0);
        server->setSignInStoredCheck([this] { return stored; });
        wire();
        while (remaining > 0)
            step();
        finish();
    }

private:
    uint8_t next()
    {
        if (remaining == 0)
            return 0;
        --remaining;
        return *input++;
    }

    QTcpSocket* client(uint8_t which) { return clients[which % maxClients].get(); }

    void wire()
    {
        TcpServer* s = server.get();
        const auto answer = [this](std::function<void()> reply) {
            // One byte of the input decides: answer at once, or wait and
            // play the next operations inside the wait first.
            const uint8_t mode = next();
            if (mode % 3 != 0 && depth < maxDepth) {
                ++depth;
                const int ops = 1 + mode % 6;
                for (int i = 0; i < ops && remaining > 0; ++i)
                    step();
                spin(1);
                --depth;
            }
            reply();
        };
        QObject::connect(s, &TcpServer::signalGetProfiles, s, [=] {
            answer([s] {
                s->slotProfiles(
                    QJsonObject{{"profiles", QJsonArray{QJsonObject{{"id", "3"}, {"name", "x"}}}}});
            });
        });
        QObject::connect(s, &TcpServer::signalGetProfileId, s, [=] {
            answer([s] { s->slotProfileId(QJsonObject{{"profile_id", 3}}); });
        });
        QObject::connect(s, &TcpServer::signalSetProfileId, s, [=](const QJsonObject&) {
            answer([s] { s->slotProfileId(QJsonObject{{"profile_id", 4}}); });
        });
        QObject::connect(s, &TcpServer::signalGetSystemInfo, s, [=] {
            answer([s] { s->slotSystemInfo(QJsonObject{{"system_info", "OS"}}); });
        });
        QObject::connect(s, &TcpServer::signalGetDebug, s, [=] {
            answer([s] { s->slotDebug(QJsonObject{{"debug", "[]"}}); });
        });
        QObject::connect(s, &TcpServer::signalSendDebugInfo, s, [=] { answer([] {}); });
        QObject::connect(s, &TcpServer::signalGetVersion, s, [=] {
            answer([s] { s->slotVersions(QJsonObject{{"status", 0}}); });
        });
        QObject::connect(s, &TcpServer::signalLogin, s, [=] {
            answer([s] { s->slotUserInfo(QJsonObject{{"username", "anna"}}); });
        });
        QObject::connect(s, &TcpServer::signalAuthData, s, [=] {
            answer([this, s] { s->slotStatusAuthData(QJsonObject{{"status", stored}}); });
        });
        QObject::connect(s, &TcpServer::signalCheckAuth, s, [=](const QJsonObject& data) {
            answer([s, data] {
                s->slotStatusCheckAuth(QJsonObject{{"status", data.value("password") == "right" ? 1 : 0}});
            });
        });
        QObject::connect(s, &TcpServer::signalCreatePin, s, [=](const QJsonObject&) {
            answer([this, s] {
                stored = true;
                s->slotStatusCreatePin(QJsonObject{{"status", 1}});
            });
        });
        QObject::connect(s, &TcpServer::signalCheckPin, s, [=](const QJsonObject& data) {
            answer([s, data] {
                s->slotStatusCheckPin(QJsonObject{{"status", data.value("pin_code") == "4711" ? 1 : 0}});
            });
        });
        QObject::connect(s, &TcpServer::signalLogout, s, [this] { stored = false; });
    }

    void step()
    {
        const uint8_t op = next();
        const uint8_t which = next();
        switch (op % 9) {
        case 0: { // a new client
            auto& slot = clients[which % maxClients];
            if (slot && slot->state() != QAbstractSocket::UnconnectedState)
                break;
            slot = std::make_unique<QTcpSocket>();
            slot->connectToHost(QHostAddress::LocalHost, server->serverPort());
            // Loopback: the connection is made at once or refused.
            slot->waitForConnected(1000);
            break;
        }
        case 1:
        case 2:
        case 3: // a well-formed message
            send(which, message(next()));
            break;
        case 4: { // raw bytes from the input
            const int count = std::min<size_t>(next() % 64, remaining);
            send(which, QByteArray(reinterpret_cast<const char*>(input), count));
            input += count;
            remaining -= count;
            break;
        }
        case 5: // the client leaves, politely or not
            if (QTcpSocket* socket = client(which)) {
                if (which & 0x80)
                    socket->abort();
                else
                    socket->disconnectFromHost();
            }
            break;
        case 6:
            spin(1 + which % 3);
            break;
        case 7: // messages nobody asked for (the periodic status, a version check)
            if (which & 1)
                server->slotFilteringStatusServer(QJsonObject{{"filtering_status", true}});
            else
                server->slotVersions(QJsonObject{{"status", 2}});
            break;
        case 8:
            stored = (which & 1) != 0;
            break;
        }
    }

    void send(uint8_t which, const QByteArray& bytes)
    {
        QTcpSocket* socket = client(which);
        if (!socket || socket->state() != QAbstractSocket::ConnectedState || bytes.isEmpty())
            return;
        socket->write(bytes);
        socket->flush();
    }

    static QByteArray message(uint8_t pick)
    {
        using namespace MessageNames;
        switch (pick % 20) {
        case 0:
            return frameOf(HelloGui);
        case 1:
            return frameOf(HelloSupport);
        case 2:
            return frameOf(GetProfiles);
        case 3:
            return frameOf(SendDebugInfo);
        case 4:
            return frameOf(CheckAuth,
                           QJsonObject{{"login", "anna"}, {"password", pick & 0x20 ? "right" : "wrong"}},
                           true);
        case 5:
            return frameOf(CreatePin, QJsonObject{{"pin_code", "4711"}}, true);
        case 6:
            return frameOf(CheckPin, QJsonObject{{"pin_code", pick & 0x20 ? "4711" : "0000"}}, true);
        case 7:
            return frameOf(GetProfileId);
        case 8:
            return frameOf(SetProfileId, QJsonObject{{"profile_id", 4}}, true);
        case 9:
            return frameOf(GetSystemInfo);
        case 10:
            return frameOf(GetDebug);
        case 11:
            return frameOf(AuthData);
        case 12:
            return frameOf(Login);
        case 13:
            return frameOf(Logout);
        case 14:
            return frameOf(GetVersion);
        case 15:
            return frameOf(GetCoordGui);
        case 16:
            return frameOf(ChangeDnsProtocol, QJsonObject{{"dns_protocol", 1}}, true);
        case 17: // two commands in one segment
            return frameOf(HelloSupport) + frameOf(GetProfiles);
        case 18: // a frame cut short
            return frameOf(GetProfileId).left(1 + pick % 8);
        default:
            return frameOf("GETWEATHER");
        }
    }

    void finish()
    {
        for (auto& socket : clients) {
            if (socket)
                socket->abort();
        }
        // Every connection is forgotten once its client is gone.
        for (int i = 0; i < 2000 && server->clientCount() > 0; ++i)
            spin(1);
        check(server->clientCount() == 0);
        // And the next client is served.
        QTcpSocket last;
        last.connectToHost(QHostAddress::LocalHost, server->serverPort());
        check(last.waitForConnected(1000));
        last.write(frameOf(MessageNames::HelloSupport));
        last.flush();
        QByteArray reply;
        for (int i = 0; i < 2000 && reply.size() < 2; ++i) {
            spin(1);
            reply += last.readAll();
        }
        check(reply.startsWith(frameOf(MessageNames::HelloAgent).left(2)));
        last.abort();
        clients = {};
        server.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    const uint8_t* input;
    size_t remaining;
    int depth = 0;
    bool stored = false;
    std::unique_ptr<TcpServer> server;
    std::array<std::unique_ptr<QTcpSocket>, maxClients> clients;
};

} // namespace

// Qt itself is not built with the sanitizer: a use after free inside it (a
// socket deleted while its own signal is still being emitted) reads freed but
// intact memory and would go unnoticed. Freed memory filled with 0xFF makes
// such a read fault at once.
extern "C" const char* __asan_default_options()
{
    return "max_free_fill_size=4096:free_fill_byte=255";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    quietQtLogging();
    // Kept to the end of the process: its destruction at exit would come
    // after Qt's own statics are gone.
    static auto* application = new QCoreApplication(*argc, *argv);
    Q_UNUSED(application);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each operation costs event-loop time; long inputs only slow the search.
    if (size > 512)
        return 0;
    Driver(data, size).run();
    return 0;
}
