#include "certificates/CheckerCertificate.h"

#include "backend/NetworkAccessManager.h"
#include "certificates/Certificate.h"
#include "platform/CertificateStore.h"
#include "platform/PlatformLogging.h"
#include "settings/ConstData.h"

#include <QJsonArray>
#include <QJsonDocument>

CheckerCertificate::CheckerCertificate(QObject* parent) : QObject(parent)
{
    timer.setInterval(firstIntervalMs);
    connect(&timer, &QTimer::timeout, this, &CheckerCertificate::slotCheck);
    timer.start();
    qCInfo(checker_certificate) << "CREATE";
}

bool CheckerCertificate::showCertificates()
{
    int count = -1;
    if (!CertificateStore::instance().count(ConstData::getOrgName(), count) || count != expectedCount) {
        qCWarning(checker_certificate) << "Failed to show certificates!" << count;
        return false;
    }
    return true;
}

bool CheckerCertificate::checkCertificates()
{
    if (!showCertificates())
        return false;
    switch (CertificateStore::instance().expiring(ConstData::getOrgName(), expiryDays)) {
    case CertificateStore::Expiry::None:
        return true;
    case CertificateStore::Expiry::Expiring:
        qCInfo(checker_certificate) << "a certificate of the service expires within" << expiryDays << "days";
        return false;
    case CertificateStore::Expiry::Failed:
    default:
        qCWarning(checker_certificate) << "Failed to check certificates!";
        return false;
    }
}

bool CheckerCertificate::deleteCertificates()
{
    if (!CertificateStore::instance().removeAll(ConstData::getOrgName())) {
        qCWarning(checker_certificate) << "Failed to delete certificates!";
        return false;
    }
    return true;
}

void CheckerCertificate::slotCheck()
{
    if (!checkCertificates()) {
        getCrts();
        return;
    }
    timer.start(checkInterval);
}

void CheckerCertificate::getCrts()
{
    ApiResult result;
    {
        NetworkAccessManager manager;
        result = manager.getCertificates();
    }
    if (result.error != 0) {
        qCCritical(checker_certificate).noquote() << "REPLY ERROR getCrts" << result.errorString;
        emit signalError(result.errorString);
        return;
    }
    qCDebug(checker_certificate).noquote()
        << "RESPONSE getCrts:"
        << QString::fromUtf8(QJsonDocument(result.data).toJson(QJsonDocument::Compact));

    // A new batch replaces the old one, including its running downloads.
    qDeleteAll(certificates);
    certificates.clear();
    deleteCertificates();

    const QJsonArray urls = result.data.value(QLatin1String("certs")).toArray();
    for (const QJsonValue& value : urls) {
        const QUrl url(value.toString(), QUrl::StrictMode);
        if (!Certificate::isUsableUrl(url)) {
            qCWarning(checker_certificate).noquote()
                << "certificate address refused, not https:" << url.toString(QUrl::RemoveUserInfo);
            continue;
        }
        auto* job = new Certificate(value.toString(), this);
        certificates.append(job);
        job->download();
    }
    if (!certificates.isEmpty())
        timer.start(checkInterval);
}
