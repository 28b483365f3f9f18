#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The in-memory state of the service: accounts, their filtering profiles, the
// machines registered to them, and the directory (domain, user, group) records
// of Active Directory mode. Every machine and every directory user holds a
// numeric token; the resolver finds the filtering policy through that token.
class AccountStore
{
public:
    struct Profile
    {
        int id = 0;
        QString name;
        QStringList blocked; // domain names; each also blocks every name below it
    };

    struct Account
    {
        int id = 0;
        QString username;
        QString password;
        QString email;
        QString planName;
        QString dateEnd;
        bool filterStatus = true;
        QList<int> profileIds;
        int defaultProfile = 0;
        QStringList adKeys;
    };

    struct Machine
    {
        QString uid;
        int accountId = 0;
        quint32 token = 0;
        int profileId = 0;
        QString hostname;
        QString version;
        QString osInfo;
        QString agentType;
    };

    struct AdDomain
    {
        int id = 0;
        int accountId = 0;
        QString name;
    };

    struct AdUser
    {
        int id = 0;
        int accountId = 0;
        int domainId = 0;
        QString name;
        QString hostname;
        QString osInfo;
        quint32 token = 0;
        int profileId = 0;
    };

    struct AdGroup
    {
        int id = 0;
        int accountId = 0;
        QString name;
        int domain = 0;
        QJsonValue parent;
        QList<int> adUsers;
    };

    struct Policy
    {
        bool known = false;
        QString source; // "machine <uid>" or "ad_user <id>"
        int accountId = 0;
        int profileId = 0;
        QString profileName;
        QStringList blocked;
    };

    bool load(const QJsonArray& accounts, QString& error);

    const Account* accountById(int id) const;
    const Account* accountByLogin(const QString& username, const QString& password) const;
    const Account* accountByAdKey(const QString& key) const;
    QList<Profile> profilesOf(int accountId) const;
    const Profile* profile(int id) const;
    bool accountHasProfile(int accountId, int profileId) const;

    const Machine* machine(int accountId, const QString& uid) const;
    Machine registerMachine(int accountId, const QString& hostname, const QString& version,
                            const QString& osInfo, const QString& agentType);
    bool setMachineProfile(int accountId, const QString& uid, int profileId);
    bool removeMachine(int accountId, const QString& uid);

    QList<AdDomain> domainsOf(int accountId) const;
    AdDomain addDomain(int accountId, const QString& name);
    AdUser registerAdUser(int accountId, const QString& name, const QString& domainName,
                          const QString& hostname, const QString& osInfo);
    const AdUser* adUser(int accountId, int id) const;
    QList<AdGroup> groupsOf(int accountId) const;
    AdGroup addGroup(int accountId, const QString& name, int domain, const QJsonValue& parent,
                     const QList<int>& adUsers);
    bool updateGroup(int accountId, int groupId, const QString& name, int domain, const QJsonValue& parent,
                     const QList<int>& adUsers);

    // The policy that the resolver applies to a query marked with token.
    Policy policyForToken(quint32 token) const;
    // True when name equals one of the blocked domains or lies below one.
    static bool isBlocked(const QString& name, const QStringList& blocked);

    static QJsonObject machineJson(const Machine& machine);
    static QJsonObject profileJson(const Profile& profile);
    static QJsonObject adUserJson(const AdUser& user);
    static QJsonObject groupJson(const AdGroup& group);
    QJsonObject stateJson() const;

private:
    quint32 newToken() const;
    bool tokenInUse(quint32 token) const;

    QMap<int, Account> m_accounts;
    QMap<int, Profile> m_profiles;
    QMap<QString, Machine> m_machines;
    QMap<int, AdDomain> m_domains;
    QMap<int, AdUser> m_adUsers;
    QMap<int, AdGroup> m_groups;
    int m_nextDomainId = 1;
    int m_nextAdUserId = 1;
    int m_nextGroupId = 1;
};
