#include "platform/windows/PowerShellCertificateStore.h"

#include "platform/Platform.h"
#include "platform/PlatformLogging.h"
#include "platform/ProgramRunner.h"

namespace {

struct Outcome
{
    bool ran = false; // started and finished in time
    int exitCode = -1;
    QString output;
};

Outcome runPowerShell(const QLoggingCategory& (*category)(), const char* title, const QString& command)
{
    const ProgramResult result = Platform::programRunner().run(QStringLiteral("powershell"), {command},
                                                               ProgramRunner::defaultTimeoutMs);
    Outcome outcome;
    outcome.ran = result.started && result.finished;
    outcome.exitCode = result.exitCode;
    outcome.output = ProgramRunner::decode(result.output, "IBM 866");
    qCDebug(category).noquote() << title << command;
    qCDebug(category).noquote() << "Output:" << outcome.output;
    qCDebug(category).noquote() << "Error:"
                                << (outcome.ran ? ProgramRunner::decode(result.error, "IBM 866")
                                                : QStringLiteral("not run"));
    return outcome;
}

QString prefixRoot()
{
    return QStringLiteral("Get-ChildItem Cert:\\LocalMachine\\Root -Recurse | ");
}

} // namespace

QString PowerShellCertificateStore::showCommand(const QString& orgName)
{
    return QStringLiteral("(") + prefixRoot() + QStringLiteral("Where-Object { $_.Subject -match 'CN=") +
           orgName + QStringLiteral("' } | select thumbprint, subject).Count");
}

QString PowerShellCertificateStore::expiryCommand(const QString& orgName, int days)
{
    return prefixRoot() + QStringLiteral("where { $_.notafter -le (get-date).AddDays(") +
           QString::number(days) +
           QStringLiteral(") -AND $_.notafter -gt (get-date) -AND $_.Subject -match 'CN=") + orgName +
           QStringLiteral("' }  | select thumbprint, subject");
}

QString PowerShellCertificateStore::deleteCommand(const QString& orgName)
{
    return prefixRoot() + QStringLiteral("Where-Object { $_.Subject -match 'CN=") + orgName +
           QStringLiteral("' } | Remove-Item");
}

QString PowerShellCertificateStore::importCommand(const QString& path)
{
    return QStringLiteral("Import-Certificate -FilePath \"") + path +
           QStringLiteral("\" -CertStoreLocation Cert:\\LocalMachine\\Root");
}

bool PowerShellCertificateStore::parseCount(const QString& output, int& result)
{
    const QString text = output.trimmed();
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value > 1000000)
        return false;
    result = static_cast<int>(value);
    return true;
}

bool PowerShellCertificateStore::isSafePath(const QString& path)
{
    if (path.isEmpty())
        return false;
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c.unicode() < 0x20 ||
            c == QChar(0x201C) || c == QChar(0x201D) || c == QChar(0x201E))
            return false;
    }
    return true;
}

bool PowerShellCertificateStore::count(const QString& orgName, int& result)
{
    const Outcome outcome =
        runPowerShell(checker_certificate, "Command for show list certificates:", showCommand(orgName));
    if (!outcome.ran || outcome.exitCode != 0)
        return false;
    return parseCount(outcome.output, result);
}

CertificateStore::Expiry PowerShellCertificateStore::expiring(const QString& orgName, int days)
{
    const Outcome outcome =
        runPowerShell(checker_certificate, "Command for check certificates:", expiryCommand(orgName, days));
    if (!outcome.ran || outcome.exitCode != 0)
        return Expiry::Failed;
    return outcome.output.trimmed().isEmpty() ? Expiry::None : Expiry::Expiring;
}

bool PowerShellCertificateStore::removeAll(const QString& orgName)
{
    const Outcome outcome =
        runPowerShell(checker_certificate, "Command for delete certificate:", deleteCommand(orgName));
    return outcome.ran && outcome.exitCode == 0;
}

bool PowerShellCertificateStore::import(const QString& path)
{
    if (!isSafePath(path)) {
        qCWarning(certificate).noquote() << "refusing to hand this path to PowerShell:" << path;
        return false;
    }
    const Outcome outcome = runPowerShell(certificate, "Command for add certificate:", importCommand(path));
    return outcome.ran && outcome.exitCode == 0;
}
