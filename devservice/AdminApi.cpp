#include "devservice/AdminApi.h"

#include <QJsonDocument>

AdminApi::AdminApi(AccountStore& store, FaultInjector& faults, BackendApi& backend, QueryLog& queries)
    : m_store(store), m_faults(faults), m_backend(backend), m_queries(queries)
{
}

HttpResponse AdminApi::handle(const HttpRequest& request)
{
    QString path = request.path;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    if (path == QLatin1String("/admin/state") && request.method == "GET") {
        QJsonObject state = m_store.stateJson();
        state.insert(QStringLiteral("faults"), m_faults.toJson());
        state.insert(QStringLiteral("debug_reports"), m_backend.debugReports());
        return HttpResponse::json(200, state);
    }
    if (path == QLatin1String("/admin/queries")) {
        if (request.method == "GET") {
            return HttpResponse::json(200, QJsonObject{{QStringLiteral("queries"), m_queries.entries()}});
        }
        if (request.method == "DELETE") {
            m_queries.clear();
            return HttpResponse::json(200, QJsonObject{{QStringLiteral("result"), 1}});
        }
    }
    if (path == QLatin1String("/admin/faults")) {
        if (request.method == "GET") {
            return HttpResponse::json(200, m_faults.toJson());
        }
        if (request.method == "DELETE") {
            m_faults.clear();
            return HttpResponse::json(200, m_faults.toJson());
        }
        if (request.method == "POST" || request.method == "PUT") {
            QJsonParseError parseError;
            const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
            if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
                return HttpResponse::detail(400,
                                            QStringLiteral("JSON parse error - ") + parseError.errorString());
            }
            QString error;
            const bool ok = request.method == "PUT" ? m_faults.load(doc.object(), error)
                                                    : m_faults.add(doc.object(), error);
            if (!ok) {
                return HttpResponse::detail(400, error);
            }
            return HttpResponse::json(200, m_faults.toJson());
        }
        return HttpResponse::detail(
            405, QStringLiteral("Method \"%1\" not allowed.").arg(QString::fromLatin1(request.method)));
    }
    return HttpResponse::detail(404, QStringLiteral("Not found."));
}
