#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>

// Request bodies of the backend, written with a JSON writer so that a value
// holding quotes, backslashes or control characters stays one JSON string and
// can never add keys of its own.
class RequestBody
{
public:
    // {"password": ..., "username": ...}
    static QByteArray byPassword(const QString& login, const QString& password);
    // The same body for the log: the password as asterisks of its length.
    static QByteArray byPasswordForLog(const QString& login, const QString& password);
    // {"refresh": ...}
    static QByteArray refresh(const QString& refreshToken);
    // {"agent_type": ..., "hostname": ..., "os_info": ..., "version": ...}
    static QByteArray agentInfo(const QString& hostName, const QString& version, const QString& osInfo,
                                const QString& agentType);
    // {"profile": <number>}
    static QByteArray profile(quint32 profileId);
    // {"id": 0, "jsonrpc": "2.0", "method": ..., "params": [...]}
    static QByteArray jsonRpc(const QString& method, const QJsonArray& params);

    // The debug report of the agent ([{"log_message", "log_name"}, ...]) in the
    // form the backend takes ([{"command_info", "command_title"}, ...]). An
    // input that is not a JSON array gives an empty array; elements that are
    // not objects are skipped.
    static QJsonArray debugEntries(const QByteArray& debugInfo);
};
