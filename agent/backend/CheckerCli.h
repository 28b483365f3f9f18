#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Signs the agent in from its command line: reads the sign-in options and then
// drives the same sign-in exchanges as the GUI, one step per 500 ms tick.
// Emits signalSuccess once the sign-in and the PIN step have gone through.
class CheckerCli : public QObject
{
    Q_OBJECT

public:
    enum State : int
    {
        EMPTY = 0,
        HAVE_AUTHDATA = 1,
        WAIT_ANSWER_AUTHDATA = 2,
        HAVE_PIN = 3,
        WAIT_ANSWER_PIN = 4,
        SUCCESS = 5
    };

    struct Params
    {
        QString login;
        QString password;
        QString pin;
        QString token;
    };

    static constexpr int tickMs = 500;

    CheckerCli(const QStringList& arguments, QObject* parent = nullptr);

    // The options "login", "password", "pin" and "token", each with one or two
    // dashes and its value as the next argument or after "=". Unknown options
    // and other words are ignored; a repeated option keeps its last value; an
    // absent one is empty.
    static Params parseParams(const QStringList& arguments);
    static QString stateName(int state);

    int getState() const { return state; }
    bool isTicking() const { return timer.isActive(); }
    int tickInterval() const { return timer.interval(); }

signals:
    void signalCheckAuth(QJsonObject jObj);
    void signalCreatePin(QJsonObject jObj);
    void signalSuccess();

public slots:
    void slotStatusCheckAuth(QJsonObject jObj);
    void slotStatusCreatePin(QJsonObject jObj);
    // One tick of the state machine.
    void slotStep();

private:
    QString login;
    QString password;
    QString pin;
    QString token;
    int state = EMPTY;
    QTimer timer;
};
