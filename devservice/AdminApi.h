#pragma once

#include "devservice/AccountStore.h"
#include "devservice/BackendApi.h"
#include "devservice/FaultInjector.h"
#include "devservice/HttpRequest.h"
#include "devservice/HttpResponse.h"
#include "devservice/QueryLog.h"

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
