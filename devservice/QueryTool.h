#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

// The client side used by scripts and tests: sends one UDP query, optionally
// marked with an identity record, and describes the answer as text lines.
class QueryTool
{
public:
    struct Options
    {
        QString name;
        quint16 type = 1;
        QHostAddress server{QStringLiteral("127.53.0.1")};
        quint16 port = 53;
        bool marked = false;
        quint32 token = 0;
        int timeoutMs = 3000;
    };

    // 0: answer received; 2: no answer in time; 3: answer with another ID or unreadable.
    static int run(const Options& options, QStringList& lines);
    static QStringList describe(const QByteArray& answer);
    // The query run() sends, with the given ID.
    static QByteArray build(const Options& options, quint16 id);
};
