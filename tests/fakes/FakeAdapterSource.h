#pragma once

#include "platform/AdapterSource.h"
#include "platform/Platform.h"

#include <QMutex>
#include <QMutexLocker>

// An adapter list the test controls; installs itself into the platform seam
// for its lifetime.
class FakeAdapterSource : public AdapterSource
{
public:
    FakeAdapterSource() { Platform::setAdapterSource(this); }
    ~FakeAdapterSource() override { Platform::setAdapterSource(nullptr); }

    bool list(QVector<AdapterInfo>& out) override
    {
        QMutexLocker lock(&mutex);
        ++calls;
        out = adapters;
        return readable;
    }

    void setAdapters(const QVector<AdapterInfo>& list)
    {
        QMutexLocker lock(&mutex);
        adapters = list;
    }
    void setReadable(bool ok)
    {
        QMutexLocker lock(&mutex);
        readable = ok;
    }
    int listCalls() const
    {
        QMutexLocker lock(&mutex);
        return calls;
    }

    static AdapterInfo adapter(const QString& name, const QString& friendlyName, quint32 type, bool up = true)
    {
        AdapterInfo info;
        info.name = name;
        info.friendlyName = friendlyName;
        info.type = type;
        info.up = up;
        return info;
    }

private:
    mutable QMutex mutex;
    QVector<AdapterInfo> adapters;
    bool readable = true;
    int calls = 0;
};
