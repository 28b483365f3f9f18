#include "devservice/AccountStore.h"

#include <QRandomGenerator>
#include <QUuid>

namespace {
int intOf(const QJsonObject& obj, const char* key, int fallback = 0)
{
    const QJsonValue value = obj.value(QLatin1String(key));
    return value.isDouble() ? value.toInt(fallback) : fallback;
}

QString normalisedDomain(QString name)
{
    name = name.trimmed().toLower();
    while (name.endsWith(QLatin1Char('.'))) {
        name.chop(1);
    }
    return name;
}
} // namespace

bool AccountStore::load(const QJsonArray& accounts, QString& error)
{
    m_accounts.clear();
    m_profiles.clear();
    m_machines.clear();
    m_domains.clear();
    m_adUsers.clear();
    m_groups.clear();
    for (const QJsonValue& accountValue : accounts) {
        const QJsonObject obj = accountValue.toObject();
        Account account;
        account.id = intOf(obj, "id");
        account.username = obj.value(QLatin1String("username")).toString();
        account.password = obj.value(QLatin1String("password")).toString();
        account.email = obj.value(QLatin1String("email")).toString();
        account.planName = obj.value(QLatin1String("plan")).toString(QStringLiteral("Development"));
        account.dateEnd =
            obj.value(QLatin1String("date_end")).toString(QStringLiteral("2035-12-31T23:59:59"));
        account.filterStatus = obj.value(QLatin1String("filter_status")).toBool(true);
        if (account.id <= 0 || account.username.isEmpty()) {
            error = QStringLiteral("every account needs a positive \"id\" and a \"username\"");
            return false;
        }
        if (m_accounts.contains(account.id)) {
            error = QStringLiteral("account id %1 appears twice").arg(account.id);
            return false;
        }
        for (const QJsonValue& keyValue : obj.value(QLatin1String("ad_keys")).toArray()) {
            account.adKeys.append(keyValue.toString());
        }
        for (const QJsonValue& profileValue : obj.value(QLatin1String("profiles")).toArray()) {
            const QJsonObject p = profileValue.toObject();
            Profile profile;
            profile.id = intOf(p, "id");
            profile.name = p.value(QLatin1String("name")).toString();
            for (const QJsonValue& blocked : p.value(QLatin1String("blocked")).toArray()) {
                const QString name = normalisedDomain(blocked.toString());
                if (!name.isEmpty()) {
                    profile.blocked.append(name);
                }
            }
            if (profile.id <= 0 || m_profiles.contains(profile.id)) {
                error =
                    QStringLiteral("profile ids must be positive and unique (account %1)").arg(account.id);
                return false;
            }
            m_profiles.insert(profile.id, profile);
            account.profileIds.append(profile.id);
        }
        account.defaultProfile = intOf(obj, "default_profile", account.profileIds.value(0));
        if (!account.profileIds.isEmpty() && !account.profileIds.contains(account.defaultProfile)) {
            error =
                QStringLiteral("default profile of account %1 is not one of its profiles").arg(account.id);
            return false;
        }
        m_accounts.insert(account.id, account);
        for (const QJsonValue& machineValue : obj.value(QLatin1String("machines")).toArray()) {
            const QJsonObject m = machineValue.toObject();
            Machine machine;
            machine.uid = m.value(QLatin1String("uid")).toString();
            machine.accountId = account.id;
            const double token = m.value(QLatin1String("token")).toDouble(-1);
            machine.profileId = intOf(m, "profile", account.defaultProfile);
            machine.hostname = m.value(QLatin1String("hostname")).toString();
            machine.osInfo = m.value(QLatin1String("os_info")).toString();
            machine.agentType = m.value(QLatin1String("agent_type")).toString(QStringLiteral("windows"));
            if (machine.uid.isEmpty() || token < 0 || token >= 4294967295.0 ||
                m_machines.contains(machine.uid)) {
                error =
                    QStringLiteral("machines of account %1 need a unique \"uid\" and a \"token\" from 0 to "
                                   "4294967294")
                        .arg(account.id);
                return false;
            }
            machine.token = static_cast<quint32>(token);
            if (tokenInUse(machine.token)) {
                error = QStringLiteral("token %1 is given to two machines").arg(machine.token);
                return false;
            }
            if (!account.profileIds.contains(machine.profileId)) {
                error = QStringLiteral("machine %1 names a profile its account lacks").arg(machine.uid);
                return false;
            }
            m_machines.insert(machine.uid, machine);
        }
    }
    return true;
}

const AccountStore::Account* AccountStore::accountById(int id) const
{
    const auto it = m_accounts.constFind(id);
    return it == m_accounts.constEnd() ? nullptr : &it.value();
}

const AccountStore::Account* AccountStore::accountByLogin(const QString& username,
                                                          const QString& password) const
{
    for (const Account& account : m_accounts) {
        if (account.username == username && !account.password.isEmpty() && account.password == password) {
            return &account;
        }
    }
    return nullptr;
}

const AccountStore::Account* AccountStore::accountByAdKey(const QString& key) const
{
    if (key.isEmpty()) {
        return nullptr;
    }
    for (const Account& account : m_accounts) {
        if (account.adKeys.contains(key)) {
            return &account;
        }
    }
    return nullptr;
}

QList<AccountStore::Profile> AccountStore::profilesOf(int accountId) const
{
    QList<Profile> result;
    const Account* account = accountById(accountId);
    if (account == nullptr) {
        return result;
    }
    for (int id : account->profileIds) {
        result.append(m_profiles.value(id));
    }
    return result;
}

const AccountStore::Profile* AccountStore::profile(int id) const
{
    const auto it = m_profiles.constFind(id);
    return it == m_profiles.constEnd() ? nullptr : &it.value();
}

bool AccountStore::accountHasProfile(int accountId, int profileId) const
{
    const Account* account = accountById(accountId);
    return account != nullptr && account->profileIds.contains(profileId);
}

const AccountStore::Machine* AccountStore::machine(int accountId, const QString& uid) const
{
    const auto it = m_machines.constFind(uid);
    if (it == m_machines.constEnd() || it->accountId != accountId) {
        return nullptr;
    }
    return &it.value();
}

AccountStore::Machine AccountStore::registerMachine(int accountId, const QString& hostname,
                                                    const QString& version, const QString& osInfo,
                                                    const QString& agentType)
{
    Machine machine;
    machine.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    machine.accountId = accountId;
    machine.token = newToken();
    const Account* account = accountById(accountId);
    machine.profileId = account != nullptr ? account->defaultProfile : 0;
    machine.hostname = hostname;
    machine.version = version;
    machine.osInfo = osInfo;
    machine.agentType = agentType;
    m_machines.insert(machine.uid, machine);
    return machine;
}

bool AccountStore::setMachineProfile(int accountId, const QString& uid, int profileId)
{
    auto it = m_machines.find(uid);
    if (it == m_machines.end() || it->accountId != accountId || !accountHasProfile(accountId, profileId)) {
        return false;
    }
    it->profileId = profileId;
    return true;
}

bool AccountStore::removeMachine(int accountId, const QString& uid)
{
    const auto it = m_machines.find(uid);
    if (it == m_machines.end() || it->accountId != accountId) {
        return false;
    }
    m_machines.erase(it);
    return true;
}

QList<AccountStore::AdDomain> AccountStore::domainsOf(int accountId) const
{
    QList<AdDomain> result;
    for (const AdDomain& domain : m_domains) {
        if (domain.accountId == accountId) {
            result.append(domain);
        }
    }
    return result;
}

AccountStore::AdDomain AccountStore::addDomain(int accountId, const QString& name)
{
    for (const AdDomain& domain : m_domains) {
        if (domain.accountId == accountId && domain.name == name) {
            return domain;
        }
    }
    AdDomain domain{m_nextDomainId++, accountId, name};
    m_domains.insert(domain.id, domain);
    return domain;
}

AccountStore::AdUser AccountStore::registerAdUser(int accountId, const QString& name,
                                                  const QString& domainName, const QString& hostname,
                                                  const QString& osInfo)
{
    const AdDomain domain = addDomain(accountId, domainName);
    for (AdUser& user : m_adUsers) {
        if (user.accountId == accountId && user.domainId == domain.id && user.name == name) {
            user.hostname = hostname;
            user.osInfo = osInfo;
            return user;
        }
    }
    AdUser user;
    user.id = m_nextAdUserId++;
    user.accountId = accountId;
    user.domainId = domain.id;
    user.name = name;
    user.hostname = hostname;
    user.osInfo = osInfo;
    user.token = newToken();
    const Account* account = accountById(accountId);
    user.profileId = account != nullptr ? account->defaultProfile : 0;
    m_adUsers.insert(user.id, user);
    return user;
}

const AccountStore::AdUser* AccountStore::adUser(int accountId, int id) const
{
    const auto it = m_adUsers.constFind(id);
    if (it == m_adUsers.constEnd() || it->accountId != accountId) {
        return nullptr;
    }
    return &it.value();
}

QList<AccountStore::AdGroup> AccountStore::groupsOf(int accountId) const
{
    QList<AdGroup> result;
    for (const AdGroup& group : m_groups) {
        if (group.accountId == accountId) {
            result.append(group);
        }
    }
    return result;
}

AccountStore::AdGroup AccountStore::addGroup(int accountId, const QString& name, int domain,
                                             const QJsonValue& parent, const QList<int>& adUsers)
{
    AdGroup group{m_nextGroupId++, accountId, name, domain, parent, adUsers};
    m_groups.insert(group.id, group);
    return group;
}

bool AccountStore::updateGroup(int accountId, int groupId, const QString& name, int domain,
                               const QJsonValue& parent, const QList<int>& adUsers)
{
    auto it = m_groups.find(groupId);
    if (it == m_groups.end() || it->accountId != accountId) {
        return false;
    }
    it->name = name;
    it->domain = domain;
    it->parent = parent;
    it->adUsers = adUsers;
    return true;
}

AccountStore::Policy AccountStore::policyForToken(quint32 token) const
{
    Policy policy;
    int profileId = 0;
    for (const Machine& machine : m_machines) {
        if (machine.token == token) {
            policy.known = true;
            policy.source = QStringLiteral("machine ") + machine.uid;
            policy.accountId = machine.accountId;
            profileId = machine.profileId;
            break;
        }
    }
    if (!policy.known) {
        for (const AdUser& user : m_adUsers) {
            if (user.token == token) {
                policy.known = true;
                policy.source = QStringLiteral("ad_user %1").arg(user.id);
                policy.accountId = user.accountId;
                profileId = user.profileId;
                break;
            }
        }
    }
    if (!policy.known) {
        return policy;
    }
    policy.profileId = profileId;
    if (const Profile* p = profile(profileId)) {
        policy.profileName = p->name;
        policy.blocked = p->blocked;
    }
    return policy;
}

bool AccountStore::isBlocked(const QString& name, const QStringList& blocked)
{
    const QString lower = normalisedDomain(name);
    for (const QString& domain : blocked) {
        if (lower == domain) {
            return true;
        }
        if (lower.size() > domain.size() && lower.endsWith(domain) &&
            lower.at(lower.size() - domain.size() - 1) == QLatin1Char('.')) {
            return true;
        }
    }
    return false;
}

QJsonObject AccountStore::machineJson(const Machine& machine)
{
    return QJsonObject{{QStringLiteral("uid"), machine.uid},
                       {QStringLiteral("profile"), machine.profileId},
                       {QStringLiteral("token"), static_cast<qint64>(machine.token)},
                       {QStringLiteral("hostname"), machine.hostname},
                       {QStringLiteral("version"), machine.version},
                       {QStringLiteral("os_info"), machine.osInfo},
                       {QStringLiteral("agent_type"), machine.agentType}};
}

QJsonObject AccountStore::profileJson(const Profile& profile)
{
    return QJsonObject{{QStringLiteral("id"), profile.id},
                       {QStringLiteral("name"), profile.name},
                       {QStringLiteral("blocked"), QJsonArray::fromStringList(profile.blocked)}};
}

QJsonObject AccountStore::adUserJson(const AdUser& user)
{
    return QJsonObject{{QStringLiteral("id"), user.id},
                       {QStringLiteral("name"), user.name},
                       {QStringLiteral("domain"), user.domainId},
                       {QStringLiteral("hostname"), user.hostname},
                       {QStringLiteral("os_info"), user.osInfo},
                       {QStringLiteral("token"), static_cast<qint64>(user.token)},
                       {QStringLiteral("profile"), user.profileId}};
}

QJsonObject AccountStore::groupJson(const AdGroup& group)
{
    QJsonArray users;
    for (int id : group.adUsers) {
        users.append(id);
    }
    return QJsonObject{{QStringLiteral("id"), group.id},
                       {QStringLiteral("name"), group.name},
                       {QStringLiteral("domain"), group.domain},
                       {QStringLiteral("parent"), group.parent.isUndefined() ? QJsonValue() : group.parent},
                       {QStringLiteral("ad_users"), users}};
}

QJsonObject AccountStore::stateJson() const
{
    QJsonArray accounts;
    for (const Account& account : m_accounts) {
        QJsonArray profiles;
        for (const Profile& p : profilesOf(account.id)) {
            profiles.append(profileJson(p));
        }
        QJsonArray machines;
        for (const Machine& m : m_machines) {
            if (m.accountId == account.id) {
                machines.append(machineJson(m));
            }
        }
        QJsonArray domains;
        for (const AdDomain& d : domainsOf(account.id)) {
            domains.append(QJsonObject{{QStringLiteral("id"), d.id}, {QStringLiteral("name"), d.name}});
        }
        QJsonArray users;
        for (const AdUser& u : m_adUsers) {
            if (u.accountId == account.id) {
                users.append(adUserJson(u));
            }
        }
        QJsonArray groups;
        for (const AdGroup& g : groupsOf(account.id)) {
            groups.append(groupJson(g));
        }
        accounts.append(QJsonObject{{QStringLiteral("id"), account.id},
                                    {QStringLiteral("username"), account.username},
                                    {QStringLiteral("default_profile"), account.defaultProfile},
                                    {QStringLiteral("profiles"), profiles},
                                    {QStringLiteral("machines"), machines},
                                    {QStringLiteral("ad_domains"), domains},
                                    {QStringLiteral("ad_users"), users},
                                    {QStringLiteral("ad_groups"), groups}});
    }
    return QJsonObject{{QStringLiteral("accounts"), accounts}};
}

quint32 AccountStore::newToken() const
{
    // Positive 31-bit values keep the token the same whether a reader takes it
    // as signed or unsigned; 0xFFFFFFFF would read as "no token" on the agent.
    while (true) {
        const quint32 token = 100000 + QRandomGenerator::global()->bounded(0x7FFFFFFF - 100000);
        if (!tokenInUse(token)) {
            return token;
        }
    }
}

bool AccountStore::tokenInUse(quint32 token) const
{
    for (const Machine& machine : m_machines) {
        if (machine.token == token) {
            return true;
        }
    }
    for (const AdUser& user : m_adUsers) {
        if (user.token == token) {
            return true;
        }
    }
    return false;
}
