#pragma once

#include "devservice/AccountStore.h"
#include "devservice/ServiceConfig.h"

#include <QJsonArray>
#include <QJsonDocument>

// A small seed used by the devservice tests: two accounts, profiles that block
// different names, and machines with fixed tokens.
inline QJsonArray fixtureAccounts()
{
    return QJsonDocument::fromJson(R"([
        {"id": 101, "username": "demo", "password": "demo-password", "plan": "Family",
         "date_end": "2030-12-31T23:59:59", "ad_keys": ["demo-ad-key"],
         "profiles": [{"id": 1, "name": "Unfiltered", "blocked": []},
                      {"id": 2, "name": "Kids", "blocked": ["blocked.example.test", "Adult.Example.Test."]}],
         "default_profile": 2,
         "machines": [{"uid": "m-1001", "token": 1001, "profile": 2},
                      {"uid": "m-1002", "token": 1002, "profile": 1}]},
        {"id": 102, "username": "strict", "password": "strict-password",
         "profiles": [{"id": 4, "name": "Everything", "blocked": ["example.test"]}],
         "machines": [{"uid": "m-2001", "token": 2001}]}
    ])")
        .array();
}

inline ServiceConfig fixtureConfig()
{
    ServiceConfig config;
    config.accounts = fixtureAccounts();
    config.versions.append(
        ServiceConfig::Version{QStringLiteral("Windows"), QStringLiteral("4.2.3"),
                               QStringLiteral("https://www.corvane.test/downloads/a.msi")});
    return config;
}
