#include "common/RunGuard.h"
#include "gui/AgentGUI.h"
#include "gui/Alert.h"
#include "gui/Authorization.h"
#include "gui/CheckerActivation.h"
#include "gui/CheckerVersion.h"
#include "gui/ConstData.h"
#include "gui/FilteringStatus.h"
#include "gui/PersonalArea.h"
#include "gui/TcpSocket.h"
#include "gui/Tray.h"
#include "gui/UserData.h"
#include "tests/gui/FakeAgent.h"
#include "tests/gui/WidgetLookup.h"
#include "tests/testlib/LogCapture.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The main window against a stand-in agent on the real port 49101; runs in a
// private network and IPC namespace.
using namespace WidgetLookup;

class TestGuiWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dataHome;
    std::unique_ptr<FakeAgent> agent;
    std::unique_ptr<AgentGUI> window;

    void sendMouse(QEvent::Type type, const QPoint& local, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, local, window->mapToGlobal(local), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &event);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dataHome.isValid());
        // The INI file goes below XDG_DATA_HOME: keep it in the test's folder.
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
        // The per-user folder is named after the program; a second start of
        // the real program must find the same INI file as this one.
        QCoreApplication::setApplicationName(QStringLiteral("agentcorvanegui"));
        QVERIFY(ConstData::getAddressConfFile().startsWith(dataHome.path()));
    }

    void init()
    {
        agent = std::make_unique<FakeAgent>();
        QVERIFY(agent->listen(ConstData::getPortTcpOfAgent()));
        window = std::make_unique<AgentGUI>();
        // The stand-in agent is this test program.
        child<TcpSocket>(window, "socket")->setListenerExpectation(ListenerOwner::Expectation::thisProcess());
        QTRY_VERIFY(child<TcpSocket>(window, "socket")->isConnected());
    }

    void cleanup()
    {
        window.reset();
        agent.reset();
    }

    void layoutAndPages()
    {
        QCOMPARE(window->size(), QSize(1145, 600));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(window->windowTitle(), QStringLiteral("Corvane Agent"));
        QStackedWidget* stack = child<QStackedWidget>(window, "pages");
        QCOMPARE(stack->count(), 5);
        QCOMPARE(stack->widget(AgentGUI::PAGE_ALERT), child<Alert>(window, "alert"));
        QCOMPARE(stack->widget(AgentGUI::PAGE_AUTHORIZATION), child<Authorization>(window, "authorization"));
        QCOMPARE(stack->widget(AgentGUI::PAGE_CABINET), child<PersonalArea>(window, "personalArea"));
        QCOMPARE(stack->widget(AgentGUI::PAGE_UPDATE), child<CheckerVersion>(window, "checkerVersion"));
        QCOMPARE(stack->widget(AgentGUI::PAGE_FILTERING), child<FilteringStatus>(window, "filteringStatus"));
        QCOMPARE(stack->currentIndex(), int(AgentGUI::PAGE_ALERT));
        // The compiled-in resources are there: the fonts registered, the loader runs.
        QVERIFY(animated(child<Alert>(window, "alert"), "loader"));
        QVERIFY(!QIcon(QStringLiteral(":tray/icon.png")).isNull());
    }

    void agentReachedShowsTrayNotWindow()
    {
        QTRY_VERIFY(child<Tray>(window, "tray")->isVisible());
        QVERIFY(!window->isVisible());
        QCOMPARE(agent->receivedNames(), QStringList({"HELLOGUI"}));
    }

    void showAsksForAuthDataAndPosition()
    {
        window->slotShow();
        QVERIFY(window->isVisible());
        QTRY_COMPARE(agent->count(QStringLiteral("AUTHDATA")), 1);
        QTRY_COMPARE(agent->count(QStringLiteral("GETCOORDGUI")), 1);
        // "STATUSAUTHDATA" false: the sign-in form once "STATUSAD" made it.
        agent->send(QStringLiteral("STATUSAD"), {{QStringLiteral("status_ad"), false}});
        window->slotShow();
        QTRY_COMPARE(agent->count(QStringLiteral("AUTHDATA")), 2);
        QTRY_COMPARE(child<QStackedWidget>(window, "pages")->currentIndex(),
                     int(AgentGUI::PAGE_AUTHORIZATION));
        QCOMPARE(formIndex(child<Authorization>(window, "authorization")), 0);
        agent->send(QStringLiteral("STATUSAUTHDATA"), {{QStringLiteral("status"), true}});
        QTRY_COMPARE(formIndex(child<Authorization>(window, "authorization")), 1);
    }

    void placementFromTheAgent()
    {
        window->slotShow();
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        agent->send(QStringLiteral("COORDGUI"), {{QStringLiteral("x"), "40"}, {QStringLiteral("y"), "30"}});
        QTRY_COMPARE(window->pos(), QPoint(40, 30));
        agent->send(QStringLiteral("COORDGUI"), {{QStringLiteral("x"), "null"}, {QStringLiteral("y"), "30"}});
        const QPoint centre(available.x() + available.width() / 2 - 1145 / 2,
                            available.y() + available.height() / 2 - 600 / 2);
        QTRY_COMPARE(window->pos(), centre);
        agent->send(QStringLiteral("COORDGUI"), {{QStringLiteral("x"), "50"}, {QStringLiteral("y"), "60"}});
        QTRY_COMPARE(window->pos(), QPoint(50, 60));
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        agent->send(QStringLiteral("COORDGUI"), {{QStringLiteral("x"), QString::number(screen.right() - 100)},
                                                 {QStringLiteral("y"), "60"}});
        QTRY_COMPARE(window->pos(), QPoint(0, 0));
        // Bad coordinates: logged, the window is centred, the program goes on.
        LogCapture log(LogCapture::Forward::Nothing);
        agent->send(QStringLiteral("COORDGUI"), {{QStringLiteral("x"), "left"}, {QStringLiteral("y"), "60"}});
        QTRY_COMPARE(window->pos(), centre);
        QCOMPARE(log.countPrefix(QStringLiteral("GUI"), QStringLiteral("Stored position is not usable")), 1);
    }

    void draggingOnlyInTheTopStrip()
    {
        window->slotShow();
        window->move(100, 100);
        agent->clearReceived();
        QSignalSpy stored(window.get(), &AgentGUI::signalSetCoord);

        // Below the strip: nothing moves, nothing is stored, and the cursor
        // stays the arrow (the closed hand is shown exactly while a drag lasts).
        sendMouse(QEvent::MouseButtonPress, QPoint(300, 85), Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
        sendMouse(QEvent::MouseMove, QPoint(350, 135), Qt::NoButton, Qt::LeftButton);
        sendMouse(QEvent::MouseButtonRelease, QPoint(350, 135), Qt::LeftButton, Qt::NoButton);
        QCOMPARE(window->pos(), QPoint(100, 100));
        QCOMPARE(stored.count(), 0);

        // The right button does not drag either.
        sendMouse(QEvent::MouseButtonPress, QPoint(300, 40), Qt::RightButton, Qt::RightButton);
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
        sendMouse(QEvent::MouseButtonRelease, QPoint(300, 40), Qt::RightButton, Qt::NoButton);

        // In the strip: the grabbed point follows the mouse.
        sendMouse(QEvent::MouseButtonPress, QPoint(300, 84), Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(window->cursor().shape(), Qt::ClosedHandCursor);
        const QPoint pressGlobal = window->mapToGlobal(QPoint(300, 84));
        for (int step = 1; step <= 3; ++step) {
            const QPoint global = pressGlobal + QPoint(20 * step, 10 * step);
            QMouseEvent move(QEvent::MouseMove, window->mapFromGlobal(global), global, Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(window.get(), &move);
        }
        QCOMPARE(window->pos(), QPoint(160, 130));
        QCOMPARE(stored.count(), 0);
        sendMouse(QEvent::MouseButtonRelease, QPoint(300, 84), Qt::LeftButton, Qt::NoButton);
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(stored.count(), 1);
        QTRY_COMPARE(agent->count(QStringLiteral("SETCOORDGUI")), 1);
        const QJsonObject data =
            agent->last(QStringLiteral("SETCOORDGUI")).value(QStringLiteral("data")).toObject();
        QCOMPARE(data, QJsonObject({{QStringLiteral("x"), "160"}, {QStringLiteral("y"), "130"}}));
        // A stray release stores nothing more.
        sendMouse(QEvent::MouseButtonRelease, QPoint(300, 84), Qt::LeftButton, Qt::NoButton);
        QCOMPARE(stored.count(), 1);
    }

    void closeGoesToTheTray()
    {
        window->slotShow();
        QVERIFY(window->isVisible());
        QTRY_VERIFY(child<Tray>(window, "tray")->isVisible());
        // The tray menu's entry that hides and shows the window.
        const auto toggle = [this] {
            return child<QAction>(child<Tray>(window, "tray")->contextMenu(), "toggleWindow");
        };
        QSignalSpy closed(window.get(), &AgentGUI::signalClose);
        QCloseEvent event;
        QApplication::sendEvent(window.get(), &event);
        QVERIFY(!event.isAccepted());
        QCOMPARE(closed.count(), 1);
        QVERIFY(!window->isVisible());
        QCOMPARE(toggle()->text(), QStringLiteral("Maximize window"));
        // The close button of a page does the same.
        window->slotShow();
        QVERIFY(window->isVisible());
        emit child<Alert>(window, "alert")->signalClose();
        QVERIFY(!window->isVisible());
        // Clicking the icon brings it back.
        child<Tray>(window, "tray")->slotIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(window->isVisible());
        QCOMPARE(toggle()->text(), QStringLiteral("Minimize window"));
        child<Tray>(window, "tray")->slotIconActivated(QSystemTrayIcon::Context);
        QVERIFY(window->isVisible());
        child<Tray>(window, "tray")->slotIconActivated(QSystemTrayIcon::Trigger);
        QVERIFY(!window->isVisible());
    }

    void agentLostHidesEverythingAndComesBack()
    {
        window->slotShow();
        QTRY_VERIFY(child<Tray>(window, "tray")->isVisible());
        agent->close();
        QTRY_VERIFY(!child<Tray>(window, "tray")->isVisible());
        QVERIFY(!window->isVisible());
        // Showing while unreachable does not show the window.
        window->slotShow();
        QVERIFY(!window->isVisible());
        QVERIFY(agent->listen(ConstData::getPortTcpOfAgent()));
        // The retry timer brings the agent back within its 5 s period.
        QTRY_VERIFY_WITH_TIMEOUT(child<Tray>(window, "tray")->isVisible(), 12000);
        QVERIFY(child<TcpSocket>(window, "socket")->isConnected());
    }

    void switchesReachEveryPage()
    {
        agent->send(QStringLiteral("STATUSAD"), {{QStringLiteral("status_ad"), true}});
        agent->send(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), true}});
        const QString on = QStringLiteral("Corvane Agent (D)");
        QTRY_COMPARE(logoToolTip(child<Alert>(window, "alert")), on);
        QCOMPARE(logoToolTip(child<FilteringStatus>(window, "filteringStatus")), on);
        QCOMPARE(logoToolTip(child<CheckerVersion>(window, "checkerVersion")), on);
        QCOMPARE(logoToolTip(child<PersonalArea>(window, "personalArea")), on);
        QVERIFY(child<QCheckBox>(child<PersonalArea>(window, "personalArea"), "enableLogging")->isChecked());
        QVERIFY(adMarkShown(child<Alert>(window, "alert")));
        agent->send(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), false}});
        QTRY_COMPARE(logoToolTip(child<Alert>(window, "alert")), QStringLiteral("Corvane Agent (I)"));
        // A switch of the wrong type is logged and ignored.
        LogCapture log(LogCapture::Forward::Nothing);
        agent->send(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), "yes"}});
        QTRY_COMPARE(log.countPrefix(QStringLiteral("GUI"), QStringLiteral("No usable")), 1);
        QCOMPARE(logoToolTip(child<Alert>(window, "alert")), QStringLiteral("Corvane Agent (I)"));
    }

    void serviceFilteringStatus()
    {
        agent->send(QStringLiteral("STATUSFILTERINGSERVER"), {{QStringLiteral("filtering_status"), false}});
        QTRY_COMPARE(child<QStackedWidget>(window, "pages")->currentIndex(), int(AgentGUI::PAGE_FILTERING));
        QVERIFY(!window->isVisible());
        agent->clearReceived();
        agent->send(QStringLiteral("STATUSFILTERINGSERVER"), {{QStringLiteral("filtering_status"), true}});
        QTRY_COMPARE(agent->count(QStringLiteral("AUTHDATA")), 1);
        QTRY_COMPARE(child<QStackedWidget>(window, "pages")->currentIndex(),
                     int(AgentGUI::PAGE_AUTHORIZATION));
        // True while another page is current: nothing.
        agent->clearReceived();
        agent->send(QStringLiteral("STATUSFILTERINGSERVER"), {{QStringLiteral("filtering_status"), true}});
        agent->send(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), true}});
        QTRY_VERIFY(logoToolTip(child<Alert>(window, "alert")).endsWith(QStringLiteral("(D)")));
        QCOMPARE(agent->count(QStringLiteral("AUTHDATA")), 0);
    }

    void newVersionShowsUpdatePage()
    {
        window->slotShow();
        // The answer to what showing asks for ("STATUSAUTHDATA") turns to the
        // sign-in page: it comes first, or it would turn a later page back.
        QTRY_COMPARE(child<QStackedWidget>(window, "pages")->currentIndex(),
                     int(AgentGUI::PAGE_AUTHORIZATION));
        agent->send(QStringLiteral("VERSIONS"), {{QStringLiteral("status"), 2},
                                                 {QStringLiteral("url"), "https://www.corvane.test/agent"},
                                                 {QStringLiteral("get_version"), "4.1.0"}});
        QTRY_COMPARE(child<QStackedWidget>(window, "pages")->currentIndex(), int(AgentGUI::PAGE_UPDATE));
        QCOMPARE(child<QLabel>(child<CheckerVersion>(window, "checkerVersion"), "installText")->text(),
                 QStringLiteral("Install version 4.1.0 for new possibilities"));
        emit child<CheckerVersion>(window, "checkerVersion")->signalRemindLater();
        QCOMPARE(child<QStackedWidget>(window, "pages")->currentIndex(), int(AgentGUI::PAGE_AUTHORIZATION));
        QVERIFY(window->isVisible());
        // Popping up from the tray, "Remind later" goes back to the tray.
        emit window->signalClose();
        QVERIFY(!window->isVisible());
        agent->send(QStringLiteral("VERSIONS"), {{QStringLiteral("status"), 2}});
        QTRY_VERIFY(window->isVisible());
        QCOMPARE(child<QStackedWidget>(window, "pages")->currentIndex(), int(AgentGUI::PAGE_UPDATE));
        emit child<CheckerVersion>(window, "checkerVersion")->signalRemindLater();
        QVERIFY(!window->isVisible());
    }

    void untrustedListenerGetsNoPin()
    {
        // Another program on the agent's port: the PIN is not sent and the
        // window says why.
        child<TcpSocket>(window, "socket")->setListenerExpectation(ListenerOwner::Expectation());
        agent->clearReceived();
        emit child<Authorization>(window, "authorization")
            ->signalCheckPin({{QStringLiteral("pin_code"), "1234"}});
        QCOMPARE(child<QStackedWidget>(window, "pages")->currentIndex(), int(AgentGUI::PAGE_ALERT));
        QVERIFY(window->isVisible());
        QCOMPARE(child<QLabel>(child<Alert>(window, "alert"), "heading")->text(),
                 QStringLiteral("Connection not trusted"));
        QVERIFY(child<QLabel>(child<Alert>(window, "alert"), "text")
                    ->text()
                    .contains(QStringLiteral("were not sent")));
        QTRY_VERIFY(!agent->hasClient());
        QCOMPARE(agent->count(QStringLiteral("CHECKPIN")), 0);
    }

    void pageCommandsReachTheAgent()
    {
        agent->clearReceived();
        emit child<Authorization>(window, "authorization")
            ->signalCheckPin({{QStringLiteral("pin_code"), "1234"}});
        emit child<PersonalArea>(window, "personalArea")->signalGetProfiles();
        emit child<Alert>(window, "alert")->signalChangeStatusLog();
        emit child<Authorization>(window, "authorization")->signalGetUpdate();
        QTRY_COMPARE(agent->received().size(), 4);
        QCOMPARE(agent->receivedNames(),
                 QStringList({"CHECKPIN", "GETPROFILES", "CHANGESTATUSLOG", "GETVERSION"}));
        // A correct PIN opens the personal area and sends "LOGIN".
        agent->clearReceived();
        agent->send(QStringLiteral("STATUSAD"), {{QStringLiteral("status_ad"), false}});
        agent->send(QStringLiteral("STATUSCHECKPIN"), {{QStringLiteral("status"), 1}});
        QTRY_COMPARE(child<QStackedWidget>(window, "pages")->currentIndex(), int(AgentGUI::PAGE_CABINET));
        QTRY_VERIFY(agent->count(QStringLiteral("LOGIN")) == 1 &&
                    agent->count(QStringLiteral("GETPROFILES")) == 1);
        // Logout from the personal area: "LOGOUT", then the window shows again.
        window->slotShow();
        QTRY_VERIFY(agent->count(QStringLiteral("AUTHDATA")) == 1 &&
                    agent->count(QStringLiteral("GETCOORDGUI")) == 1);
        agent->clearReceived();
        emit child<PersonalArea>(window, "personalArea")->signalLogout();
        QTRY_VERIFY(agent->count(QStringLiteral("LOGOUT")) == 1 &&
                    agent->count(QStringLiteral("AUTHDATA")) == 1);
        QCOMPARE(agent->receivedNames().first(), QStringLiteral("LOGOUT"));
    }

    void activationBySecondProcessRaisesTheWindow()
    {
        QVERIFY(!window->isVisible());
        // This test plays the running program: it holds the guard.
        RunGuard guard(ConstData::getKeyGuard());
        QVERIFY(guard.tryToRun());
        QProcess second;
        second.setProgram(QStringLiteral(CORVANE_GUI_PROGRAM));
        second.setArguments({QStringLiteral("activation")});
        second.start();
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY(window->isVisible());
        QTRY_COMPARE(agent->count(QStringLiteral("AUTHDATA")), 1);
        QTRY_VERIFY(!UserData::getStatusActivationGui());
        QVERIFY(child<CheckerActivation>(window, "checkerActivation")->isWatching());
        // The second process wrote no log of its own: it stopped at the guard.
    }

    void activationBeforeTheAgentAnswers()
    {
        // A flag already set when the agent answers is honoured at the greeting.
        window.reset();
        agent->close();
        QVERIFY(UserData::setStatusActivationGui(true));
        QVERIFY(agent->listen(ConstData::getPortTcpOfAgent()));
        window = std::make_unique<AgentGUI>();
        QTRY_VERIFY(window->isVisible());
        QVERIFY(!UserData::getStatusActivationGui());
    }

    void activationWhileTheAgentIsDownWaitsForIt()
    {
        QTRY_VERIFY(child<Tray>(window, "tray")->isVisible());
        agent->close();
        QTRY_VERIFY(!child<Tray>(window, "tray")->isVisible());
        QVERIFY(UserData::setStatusActivationGui(true));
        // The change is noticed, but nothing can be shown yet: the flag stays.
        child<CheckerActivation>(window, "checkerActivation")
            ->slotChangedFile(ConstData::getAddressConfFile());
        QVERIFY(!window->isVisible());
        QVERIFY(UserData::getStatusActivationGui());
        QVERIFY(agent->listen(ConstData::getPortTcpOfAgent()));
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 12000);
        QVERIFY(!UserData::getStatusActivationGui());
    }

    void iniFileDeletedOrUnreadable()
    {
        const QString path = ConstData::getAddressConfFile();
        QVERIFY(QFile::exists(path));
        LogCapture log(LogCapture::Forward::Nothing);
        QVERIFY(QFile::remove(path));
        QTRY_VERIFY(QFile::exists(path));
        QTRY_VERIFY(child<CheckerActivation>(window, "checkerActivation")->isWatching());
        QVERIFY(log.count(QtDebugMsg, QStringLiteral("CHECKERACTIVATION"), QStringLiteral("CHANGED")) >= 1);

        // Replaced by something that is no readable file: logged, nothing raised.
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkpath(path));
        QSignalSpy activation(child<CheckerActivation>(window, "checkerActivation"),
                              &CheckerActivation::signalActivationGui);
        child<CheckerActivation>(window, "checkerActivation")->check();
        QCOMPARE(activation.count(), 0);
        QVERIFY(log.countPrefix(QStringLiteral("CHECKERACTIVATION"), QStringLiteral("Cannot")) >= 1);
        QVERIFY(QDir(path).removeRecursively());
        child<CheckerActivation>(window, "checkerActivation")->check();
        QVERIFY(QFile::exists(path));
        QVERIFY(child<CheckerActivation>(window, "checkerActivation")->isWatching());
    }

    void iniFileRemovedAtTheEnd()
    {
        const QString path = ConstData::getAddressConfFile();
        QVERIFY(QFile::exists(path));
        LogCapture log(LogCapture::Forward::Nothing);
        window.reset();
        QVERIFY(!QFile::exists(path));
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("CHECKERACTIVATION"),
                           QStringLiteral("File is removed: true")),
                 1);
    }
};

QTEST_MAIN(TestGuiWindow)
#include "tst_gui_window.moc"
