#include "backend/Network.h"

#include "backend/AnswerParser.h"
#include "settings/ConstData.h"
#include "settings/SettingsLogging.h"
#include "settings/TrustAnchors.h"

#include <QEventLoop>
#include <QMetaEnum>
#include <QPointer>
#include <QSslError>
#include <QTimer>

#include <atomic>
#include <memory>

namespace {

int attemptBaseFromEnvironment()
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("CORVANE_HTTP_ATTEMPT_MS", &ok);
    return ok && value > 0 ? value : Network::defaultAttemptBaseMs;
}

std::atomic<int>& attemptBase()
{
    static std::atomic<int> base{attemptBaseFromEnvironment()};
    return base;
}

const char* errorName(QNetworkReply::NetworkError error)
{
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error);
    return name != nullptr ? name : "UnknownError";
}

} // namespace

Network::Network(QObject* parent) : QNetworkAccessManager(parent)
{
    connect(this, &QNetworkAccessManager::sslErrors, this,
            [](QNetworkReply*, const QList<QSslError>& errors) {
                // The sign-in data and the machine's trust roots travel here:
                // a server that cannot prove to be the service gets neither.
                qCCritical(network) << "SSLERRORS:" << errors;
            });
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    connect(this, &QNetworkAccessManager::networkAccessibleChanged, this,
            [this](QNetworkAccessManager::NetworkAccessibility accessibility) {
                qCDebug(network) << "NETWORKACCESSIBLECHANGED" << accessibility << networkAccessible();
            });
    QT_WARNING_POP
}

Network::~Network() = default;

QByteArray Network::userAgent()
{
    return QString(ConstData::getAppName() + QLatin1Char('/') + ConstData::getVersion() +
                   QStringLiteral(" (") + ConstData::getOS() + QLatin1Char(')'))
        .toLatin1();
}

int Network::attemptBaseMs()
{
    return attemptBase().load();
}

void Network::setAttemptBaseMs(int ms)
{
    attemptBase().store(ms > 0 ? ms : defaultAttemptBaseMs);
}

QSslConfiguration Network::sslConfiguration()
{
    return TrustAnchors::clientConfiguration();
}

void Network::setExtraCaCertificates(const QList<QSslCertificate>& certificates)
{
    TrustAnchors::setExtraCertificates(certificates);
}

void Network::prepare(QNetworkRequest& request, bool withUserAgent)
{
    request.setSslConfiguration(sslConfiguration());
    if (withUserAgent)
        request.setRawHeader("User-Agent", userAgent());
    // A redirect is an answer like any other: its body does not parse, and the
    // Authorization header never travels to another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
}

QNetworkReply* Network::get(QNetworkRequest& request)
{
    prepare(request, true);
    return QNetworkAccessManager::get(request);
}

QNetworkReply* Network::post(QNetworkRequest& request, const QByteArray& body)
{
    prepare(request, true);
    return QNetworkAccessManager::post(request, body);
}

QNetworkReply* Network::patch(QNetworkRequest& request, const QByteArray& body)
{
    prepare(request, true);
    return QNetworkAccessManager::sendCustomRequest(request, "PATCH", body);
}

QNetworkReply* Network::getWait(QNetworkRequest& request)
{
    return wait([this, &request] { return get(request); });
}

QNetworkReply* Network::postWait(QNetworkRequest& request, const QByteArray& body)
{
    return wait([this, &request, &body] { return post(request, body); });
}

QNetworkReply* Network::patchWait(QNetworkRequest& request, const QByteArray& body)
{
    return wait([this, &request, &body] { return patch(request, body); });
}

QNetworkReply* Network::deleteWait(QNetworkRequest& request)
{
    return wait([this, &request] {
        prepare(request, false);
        return QNetworkAccessManager::deleteResource(request);
    });
}

QNetworkReply* Network::wait(const std::function<QNetworkReply*()>& start)
{
    int attempt = 1;
    QNetworkReply* reply = nullptr;
    for (;;) {
        reply = start();
        qCDebug(network) << "attempt" << attempt << reply;
        eventLoop(reply, attempt);
        if (reply->error() == QNetworkReply::NoError || attempt >= maxAttempts)
            break;
        // Nothing else refers to a failed attempt: the loop's and the timer's
        // connections ended with eventLoop().
        delete reply;
        ++attempt;
    }
    qCDebug(network) << "eventLoop END:" << attempt << reply;
    return reply;
}

void Network::eventLoop(QNetworkReply* reply, int attempt)
{
    qCDebug(network) << "eventLoop() Start";
    QEventLoop loop;
    qCDebug(network) << "eventLoop() Created loop";

    // Every connection below has the loop or the timer as its context, so it
    // ends when this function returns, whatever happens to the reply later. A
    // nested wait of another operation may run inside this loop; it finishes
    // before this loop can return, and nothing here outlives either.
    const QPointer<QNetworkReply> watched(reply);
    connect(reply, &QNetworkReply::finished, &loop, [&loop, watched] {
        if (loop.isRunning())
            loop.quit();
        if (watched)
            qCDebug(network) << "finished" << errorName(watched->error());
    });
    connect(reply, &QNetworkReply::downloadProgress, &loop, [watched](qint64 received, qint64) {
        if (received > AnswerParser::maxBodyBytes && watched && watched->isRunning()) {
            qCWarning(network) << "answer larger than" << AnswerParser::maxBodyBytes << "bytes, aborted";
            watched->abort();
        }
    });

    const auto timer = std::make_unique<QTimer>(this);
    timer->setSingleShot(true);
    timer->setInterval(attempt * attemptBaseMs());
    connect(timer.get(), &QTimer::timeout, &loop, [&loop, watched, attempt] {
        if (loop.isRunning())
            loop.quit();
        qCDebug(network) << "Timer:" << attempt << watched.data();
        if (watched && watched->isRunning())
            watched->abort();
    });
    qCDebug(network) << "eventLoop() Created timer";
    timer->start();

    qCDebug(network) << "eventLoop() Before loop exec";
    if (reply->isRunning())
        loop.exec();
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    qCDebug(network) << "eventLoop() After loop exec" << networkAccessible();
    // The loop may also end because the application is quitting; the caller
    // then gets a reply that is over, not one still in flight.
    if (watched && watched->isRunning())
        watched->abort();
    if (networkAccessible() != QNetworkAccessManager::Accessible)
        setNetworkAccessible(QNetworkAccessManager::Accessible);
    QT_WARNING_POP
}

QString Network::errorText(int httpStatus, QNetworkReply::NetworkError error, const QString& qtText,
                           const QUrl& url)
{
    const QString code = QStringLiteral("%1 (%2)").arg(QLatin1String(errorName(error))).arg(int(error));
    if (httpStatus > 0)
        return QStringLiteral("HTTP %1, %2").arg(httpStatus).arg(code);
    // Without an answer Qt names the socket's failure ("Connection refused",
    // "Operation canceled"); anything that could quote the address is dropped.
    const QString path = url.path(QUrl::FullyDecoded);
    const bool quotesAddress = qtText.contains(QLatin1String("://")) ||
                               (!url.userName().isEmpty() && qtText.contains(url.userName())) ||
                               (!url.password().isEmpty() && qtText.contains(url.password())) ||
                               (path.size() > 1 && qtText.contains(path)) ||
                               (path.size() > 1 && qtText.contains(url.path(QUrl::FullyEncoded)));
    if (qtText.isEmpty() || quotesAddress)
        return code;
    return qtText;
}

QString Network::errorText(QNetworkReply* reply)
{
    if (reply == nullptr)
        return QString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return errorText(status, reply->error(), reply->errorString(), reply->url());
}

int Network::getHttpStatusCode(QNetworkReply* reply) const
{
    const int code =
        reply != nullptr ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    qCDebug(network) << "getHttpStatusCode()" << code;
    return code;
}

QByteArray Network::readBody(QNetworkReply* reply)
{
    // An aborted reply has no body and is closed.
    if (!reply->isOpen())
        return QByteArray();
    return reply->read(static_cast<qint64>(AnswerParser::maxBodyBytes) + 1);
}
