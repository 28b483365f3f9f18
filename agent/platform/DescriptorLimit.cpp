#include "platform/DescriptorLimit.h"

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#endif

QString DescriptorLimit::Result::text() const
{
    if (!supported)
        return QStringLiteral("descriptor limit: none on this system");
    if (!error.isEmpty())
        return QStringLiteral("descriptor limit %1 (hard limit %2) not raised: %3")
            .arg(before)
            .arg(hard)
            .arg(error);
    if (raised)
        return QStringLiteral("descriptor limit raised from %1 to %2 (hard limit %3)")
            .arg(before)
            .arg(after)
            .arg(hard);
    return QStringLiteral("descriptor limit %1 (hard limit %2)").arg(after).arg(hard);
}

DescriptorLimit::Result DescriptorLimit::raise(quint64 ceiling)
{
    Result result;
#ifdef Q_OS_WIN
    Q_UNUSED(ceiling)
#else
    result.supported = true;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    const auto value = [](rlim_t v) { return v == RLIM_INFINITY ? ~quint64(0) : quint64(v); };
    result.before = result.after = value(limit.rlim_cur);
    result.hard = value(limit.rlim_max);
    const quint64 target = qMin(result.hard, ceiling);
    if (result.before >= target)
        return result;
    limit.rlim_cur = static_cast<rlim_t>(target);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    result.after = target;
    result.raised = true;
#endif
    return result;
}
