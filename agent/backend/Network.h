#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <functional>

// The agent's HTTP layer: every request carries the agent's User-Agent, and
// the *Wait functions turn a request into a blocking call (a nested event
// loop, up to three attempts with limits of 1x, 2x and 3x the base attempt
// time). The peer's certificate is verified against the system's trust store
// and the CA file fixed at build time; TLS errors are logged and end the
// request. Reachability changes are logged.
//
// Replies returned by the wait functions belong to the caller, who releases
// them with deleteLater().
class Network : public QNetworkAccessManager
{
    Q_OBJECT

public:
    static constexpr int maxAttempts = 3;
    static constexpr int defaultAttemptBaseMs = 5000;

    explicit Network(QObject* parent = nullptr);
    ~Network() override;

    virtual QNetworkReply* post(QNetworkRequest& request, const QByteArray& body);
    virtual QNetworkReply* patch(QNetworkRequest& request, const QByteArray& body);
    virtual QNetworkReply* get(QNetworkRequest& request);

    QNetworkReply* getWait(QNetworkRequest& request);
    QNetworkReply* postWait(QNetworkRequest& request, const QByteArray& body);
    QNetworkReply* patchWait(QNetworkRequest& request, const QByteArray& body);
    // A DELETE handed to the plain access manager (no User-Agent), waited for
    // like the others.
    QNetworkReply* deleteWait(QNetworkRequest& request);

    // Waits for one attempt: until the reply finishes or the attempt's limit
    // (attempt x the base time) runs out, when the reply is aborted.
    void eventLoop(QNetworkReply* reply, int attempt);
    // The HTTP status of the answer; 0 when there was none.
    int getHttpStatusCode(QNetworkReply* reply) const;

    // What the log and the callers learn of a failed reply: the HTTP status
    // when there was an answer, and Qt's error code. Qt's own text is kept
    // only where it cannot hold the address: for an HTTP answer it repeats
    // the whole URL, with any user info and path segments (an access key).
    static QString errorText(int httpStatus, QNetworkReply::NetworkError error, const QString& qtText,
                             const QUrl& url);
    static QString errorText(QNetworkReply* reply);

    // The body of a finished reply, at most AnswerParser::maxBodyBytes + 1
    // bytes (so that a larger body is recognised and refused).
    static QByteArray readBody(QNetworkReply* reply);

    // "Corvane Agent/<version> (<OS>)", Latin-1.
    static QByteArray userAgent();

    // The base attempt time: CORVANE_HTTP_ATTEMPT_MS when set to a positive
    // number at the first use, else 5000 ms; setAttemptBaseMs changes it
    // (0 or less puts the default back).
    static int attemptBaseMs();
    static void setAttemptBaseMs(int ms);

    // The TLS settings of every request: peer verification with the system's
    // roots, the build-time CA file and any certificates added below.
    static QSslConfiguration sslConfiguration();
    // Extra trust anchors of this process (tests with a scripted backend).
    static void setExtraCaCertificates(const QList<QSslCertificate>& certificates);

private:
    QNetworkReply* wait(const std::function<QNetworkReply*()>& start);
    static void prepare(QNetworkRequest& request, bool withUserAgent);
};
