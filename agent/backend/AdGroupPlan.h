#pragma once

#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <QVector>

// What it takes to bring the backend's directory groups in line with the
// console user's directory groups, worked out without any request.
//
// Only backend groups of this machine's domain count. A group the user is no
// longer in loses the user's id; a group the user is in gains it; a
// directory group with no backend group of that name in this domain is
// created. Groups of other domains are neither changed nor counted as
// existing. Backend entries without a usable "id" cannot be changed and are
// left alone.
class AdGroupPlan
{
public:
    struct Change
    {
        int groupId = -1;
        QString name;
        QJsonArray users; // the group's new "ad_users"
    };

    QVector<Change> changes; // in the order of the backend's list
    QStringList creations;   // in the order of the directory's list

    static AdGroupPlan build(const QJsonArray& backendGroups, int domainId, int adUserId,
                             const QStringList& directoryNames);
};
