#include "backend/AdGroupPlan.h"

#include <QJsonObject>
#include <QJsonValue>

#include <cmath>

namespace {

// A JSON number that is a whole number in int range, else false.
bool wholeNumber(const QJsonValue& value, int& result)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number || number < -2147483648.0 ||
        number > 2147483647.0)
        return false;
    result = static_cast<int>(number);
    return true;
}

bool sameId(const QJsonValue& value, int id)
{
    int number = 0;
    return wholeNumber(value, number) && number == id;
}

} // namespace

AdGroupPlan AdGroupPlan::build(const QJsonArray& backendGroups, int domainId, int adUserId,
                               const QStringList& directoryNames)
{
    AdGroupPlan plan;
    QStringList existing;
    for (const QJsonValue& entry : backendGroups) {
        if (!entry.isObject())
            continue;
        const QJsonObject group = entry.toObject();
        if (!sameId(group.value(QLatin1String("domain")), domainId))
            continue;
        const QJsonValue nameValue = group.value(QLatin1String("name"));
        if (!nameValue.isString())
            continue;
        const QString name = nameValue.toString();
        existing.append(name);

        int groupId = -1;
        if (!wholeNumber(group.value(QLatin1String("id")), groupId))
            continue;
        const QJsonArray users = group.value(QLatin1String("ad_users")).toArray();
        bool member = false;
        QJsonArray others;
        for (const QJsonValue& user : users) {
            if (sameId(user, adUserId))
                member = true;
            else
                others.append(user);
        }
        const bool inDirectory = directoryNames.contains(name, Qt::CaseSensitive);
        if (!inDirectory && member) {
            plan.changes.append({groupId, name, others});
        } else if (inDirectory && !member) {
            QJsonArray extended = users;
            extended.append(adUserId);
            plan.changes.append({groupId, name, extended});
        }
    }
    for (const QString& name : directoryNames) {
        if (name.isEmpty() || existing.contains(name, Qt::CaseSensitive) ||
            plan.creations.contains(name, Qt::CaseSensitive))
            continue;
        plan.creations.append(name);
    }
    return plan;
}
