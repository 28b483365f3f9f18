// libFuzzer target for reading the backend's answers: the JSON body reader,
// every REST and JSON-RPC answer extractor, and the access-token reader. The
// first input byte picks a status code for the uid check; the rest is the body
// and, read as text, the token.
#include "backend/AccessToken.h"
#include "backend/AnswerParser.h"
#include "fuzz/FuzzSupport.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietQtLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int statuses[] = {200, 201, 204, 400, 401, 403, 404, 500};
    const int status = statuses[data[0] % 8];
    const QByteArray body(reinterpret_cast<const char*>(data) + 1, static_cast<int>(size - 1));

    const QJsonObject answer = AnswerParser::object(body);
    AnswerParser::version(answer);
    AnswerParser::filteringStatus(answer);
    AnswerParser::agentInfo(answer);
    AnswerParser::checkUid(answer, status, (data[0] & 0x80) != 0);
    AnswerParser::profile(answer);
    AnswerParser::ip(answer);
    AnswerParser::userInfo(answer);
    AnswerParser::profiles(answer);
    AnswerParser::removeResult(answer);
    AnswerParser::certificates(answer);
    AnswerParser::rpcVersion(answer);
    AnswerParser::rpcCertificates(answer);
    AnswerParser::rpcLimitedProfile(answer);
    AnswerParser::rpcProfile(answer);
    AnswerParser::rpcUserInfo(answer);
    for (auto it = answer.begin(); it != answer.end(); ++it) {
        AnswerParser::intValue(it.value(), -1);
        AnswerParser::textValue(it.value());
    }
    if (body.size() >= 8) {
        qint64 version = 0;
        for (int i = 0; i < 8; ++i)
            version = (version << 8) | static_cast<uchar>(body.at(i));
        AnswerParser::versionText(version);
    }

    const QString token = QString::fromUtf8(body);
    QJsonObject payload;
    AccessToken::payload(token, payload);
    AccessToken::expiry(token);
    int userId = 0;
    AccessToken::userId(token, userId);
    AccessToken::isValidAt(token, 1700000000);
    return 0;
}
