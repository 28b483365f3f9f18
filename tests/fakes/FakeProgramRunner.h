#pragma once

#include "platform/ProgramRunner.h"

#include <QHash>
#include <QMutex>
#include <QVector>

#include <functional>

// Records every command line and answers with canned results; an optional
// action runs in place of the program (a stand-in GUI writing a PIN, say).
// Installs itself into the platform seam for its lifetime.
class FakeProgramRunner : public ProgramRunner
{
public:
    struct Call
    {
        QString program;
        QStringList arguments;
        int timeoutMs = 0;
    };

    FakeProgramRunner();
    ~FakeProgramRunner() override;

    ProgramResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;

    // The result for a program (matched by its file name and arguments joined
    // by spaces, "resolvectl dns eth0"; then by its full name; then by file name).
    void setResult(const QString& program, const ProgramResult& result);
    static ProgramResult output(const QByteArray& text, int exitCode = 0);
    void setAction(const QString& program, std::function<void(const QStringList&)> action);

    QVector<Call> calls() const;

private:
    mutable QMutex mutex;
    QVector<Call> recorded;
    QHash<QString, ProgramResult> results;
    QHash<QString, std::function<void(const QStringList&)>> actions;
};
