#pragma once

#include "AccountStore.h"
#include "BackendApi.h"
#include "FaultInjector.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "QueryLog.h"

// Plain-HTTP admin endpoint for tests and developers: read the state, read the
// resolver's recent decisions, and add, replace or clear fault rules.
class AdminApi
{
public:
    AdminApi(AccountStore& store, FaultInjector& faults, BackendApi& backend, QueryLog& queries);

    HttpResponse handle(const HttpRequest& request);

private:
    AccountStore& m_store;
    FaultInjector& m_faults;
    BackendApi& m_backend;
    QueryLog& m_queries;
};
