#include "tests/fakes/FakeProgramRunner.h"

#include "platform/Platform.h"

#include <QFileInfo>

FakeProgramRunner::FakeProgramRunner()
{
    Platform::setProgramRunner(this);
}

FakeProgramRunner::~FakeProgramRunner()
{
    Platform::setProgramRunner(nullptr);
}

ProgramResult FakeProgramRunner::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    std::function<void(const QStringList&)> action;
    ProgramResult result;
    {
        QMutexLocker lock(&mutex);
        recorded.append({program, arguments, timeoutMs});
        const QString shortName = QFileInfo(program).fileName();
        action = actions.value(program, actions.value(shortName));
        const QString commandLine = shortName + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
        if (results.contains(commandLine))
            result = results.value(commandLine);
        else if (results.contains(program))
            result = results.value(program);
        else if (results.contains(shortName))
            result = results.value(shortName);
        else
            result = ProgramResult(); // not started: no such program
    }
    if (action) {
        action(arguments);
        if (!result.started)
            result = output(QByteArray());
    }
    return result;
}

void FakeProgramRunner::setResult(const QString& program, const ProgramResult& result)
{
    QMutexLocker lock(&mutex);
    results.insert(program, result);
}

ProgramResult FakeProgramRunner::output(const QByteArray& text, int exitCode)
{
    ProgramResult result;
    result.started = true;
    result.finished = true;
    result.exitCode = exitCode;
    result.output = text;
    return result;
}

void FakeProgramRunner::setAction(const QString& program, std::function<void(const QStringList&)> action)
{
    QMutexLocker lock(&mutex);
    actions.insert(program, std::move(action));
}

QVector<FakeProgramRunner::Call> FakeProgramRunner::calls() const
{
    QMutexLocker lock(&mutex);
    return recorded;
}
