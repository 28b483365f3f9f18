#pragma once

#include <QByteArray>
#include <QtGlobal>

// Marks a query for the filtering resolver with the identity record carrying
// an explicit account token, and logs it under the remote DNS server's
// category: a warning when the message cannot carry the record, and the
// message before and after (token masked) when `debugLines` is set.
class QueryMarker
{
public:
    static bool mark(QByteArray& message, qint32 token, bool debugLines);
};
