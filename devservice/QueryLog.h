#pragma once

#include <QJsonArray>
#include <QJsonObject>

// The last resolver decisions, kept for the admin endpoint so that a test can
// see which token a query carried and what the service did with it.
class QueryLog
{
public:
    explicit QueryLog(int capacity = 500) : m_capacity(capacity) {}

    void append(const QJsonObject& entry)
    {
        m_entries.append(entry);
        while (m_entries.size() > m_capacity) {
            m_entries.removeFirst();
        }
    }
    void clear() { m_entries = QJsonArray(); }
    QJsonArray entries() const { return m_entries; }

private:
    int m_capacity;
    QJsonArray m_entries;
};
