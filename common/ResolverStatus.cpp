#include "common/ResolverStatus.h"

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
    return QJsonObject{{QStringLiteral("state"), stateWord(state)},
                       {QStringLiteral("chosen"), chosen},
                       {QStringLiteral("in_use"), inUse},
                       {QStringLiteral("since"), double(sinceMs)},
                       {QStringLiteral("detail"), detail}};
}

bool ResolverStatus::fromJson(const QJsonObject& object, ResolverStatus* status)
{
    State state = State::Starting;
    if (!stateFromWord(object.value(QStringLiteral("state")).toString(), &state))
        return false;
    status->state = state;
    status->chosen = oneLine(object.value(QStringLiteral("chosen")).toString());
    status->inUse = oneLine(object.value(QStringLiteral("in_use")).toString());
    status->sinceMs = qint64(object.value(QStringLiteral("since")).toDouble());
    status->detail = oneLine(object.value(QStringLiteral("detail")).toString());
    return true;
}

bool ResolverStatus::operator==(const ResolverStatus& other) const
{
    return state == other.state && chosen == other.chosen && inUse == other.inUse &&
           sinceMs == other.sinceMs && detail == other.detail;
}
