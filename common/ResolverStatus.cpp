#include "common/ResolverStatus.h"

#include "common/PayloadKeys.h"

namespace {

struct Word
{
    ResolverStatus::State state;
    const char* word;
};

constexpr Word words[] = {
    {ResolverStatus::State::Starting, "starting"}, {ResolverStatus::State::Filtered, "filtered"},
    {ResolverStatus::State::PlainDns, "plain"},    {ResolverStatus::State::FailOpen, "open"},
    {ResolverStatus::State::FailClosed, "closed"}, {ResolverStatus::State::PortTaken, "port"},
};

// Texts from the agent are shown and logged; a line break or an endless
// string from a damaged or foreign peer must not reach either.
QString oneLine(const QString& text)
{
    QString line = text.left(200);
    for (QChar& c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return line;
}

} // namespace

QString ResolverStatus::stateWord(State state)
{
    for (const Word& w : words) {
        if (w.state == state)
            return QLatin1String(w.word);
    }
    return QStringLiteral("starting");
}

bool ResolverStatus::stateFromWord(const QString& word, State* state)
{
    for (const Word& w : words) {
        if (word == QLatin1String(w.word)) {
            *state = w.state;
            return true;
        }
    }
    return false;
}

QJsonObject ResolverStatus::toJson() const
{
    return QJsonObject{{PayloadKeys::State, stateWord(state)},
                       {PayloadKeys::Chosen, chosen},
                       {PayloadKeys::InUse, inUse},
                       {PayloadKeys::Since, double(sinceMs)},
                       {PayloadKeys::Detail, detail}};
}

bool ResolverStatus::fromJson(const QJsonObject& object, ResolverStatus* status)
{
    State state = State::Starting;
    if (!stateFromWord(object.value(PayloadKeys::State).toString(), &state))
        return false;
    status->state = state;
    status->chosen = oneLine(object.value(PayloadKeys::Chosen).toString());
    status->inUse = oneLine(object.value(PayloadKeys::InUse).toString());
    status->sinceMs = qint64(object.value(PayloadKeys::Since).toDouble());
    status->detail = oneLine(object.value(PayloadKeys::Detail).toString());
    return true;
}

bool ResolverStatus::operator==(const ResolverStatus& other) const
{
    return state == other.state && chosen == other.chosen && inUse == other.inUse &&
           sinceMs == other.sinceMs && detail == other.detail;
}
