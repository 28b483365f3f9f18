#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Result of one external program run.
struct ProgramResult
{
    bool started = false;  // the program could be started at all
    bool finished = false; // it ended before the time limit
    int exitCode = -1;
    QByteArray output; // standard output, undecoded
    // Standard error, undecoded, kept apart: a warning a program prints there
    // must not break what callers parse out of its output.
    QByteArray error;
};

// Runs external programs synchronously. The agent thread is blocked for the
// duration, at most `timeoutMs`; a program still running then is killed.
// Whatever a program writes to standard error is logged as a warning.
class ProgramRunner
{
public:
    static constexpr int defaultTimeoutMs = 30000;

    virtual ~ProgramRunner() = default;
    virtual ProgramResult run(const QString& program, const QStringList& arguments,
                              int timeoutMs = defaultTimeoutMs) = 0;

    // Decodes program output in the named text codec ("UTF-8", "IBM 866", "UTF-16LE");
    // an unknown codec name decodes as UTF-8.
    static QString decode(const QByteArray& output, const char* codecName);
};

// The system implementation, over QProcess.
class ProcessProgramRunner : public ProgramRunner
{
public:
    ProgramResult run(const QString& program, const QStringList& arguments, int timeoutMs) override;
};
