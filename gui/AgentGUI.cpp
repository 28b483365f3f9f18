#include "gui/AgentGUI.h"

#include "common/PayloadKeys.h"
#include "gui/Alert.h"
#include "gui/Authorization.h"
#include "gui/CheckerActivation.h"
#include "gui/CheckerVersion.h"
#include "gui/ConstData.h"
#include "gui/FilteringStatus.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/PersonalArea.h"
#include "gui/TcpSocket.h"
#include "gui/Tray.h"
#include "gui/WindowPlacement.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QIcon>
#include <QMouseEvent>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>

AgentGUI::AgentGUI(QWidget* parent) : QWidget(parent)
{
    const QString appName = ConstData::getAppName();
    setWindowIcon(QIcon(QStringLiteral(":tray/icon.png")));
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);
    setFixedSize(ConstData::getSizeWin());

    registerFonts();

    tray = new Tray(this);
    tray->setObjectName(QStringLiteral("tray"));
    stack = new QStackedWidget(this);
    stack->setObjectName(QStringLiteral("pages"));
    alert = new Alert(this, appName);
    filteringStatus = new FilteringStatus(this, appName);
    authorization = new Authorization(this, appName);
    personalArea = new PersonalArea(this, appName);
    checkerVersion = new CheckerVersion(this, appName);
    stack->addWidget(alert);
    stack->addWidget(authorization);
    stack->addWidget(personalArea);
    stack->addWidget(checkerVersion);
    stack->addWidget(filteringStatus);
    stack->setCurrentIndex(PAGE_ALERT);

    socket = new TcpSocket(ConstData::getPortTcpOfAgent(), this);
    socket->setObjectName(QStringLiteral("socket"));
    checkerActivation = new CheckerActivation(this);
    checkerActivation->setObjectName(QStringLiteral("checkerActivation"));

    makeConnections();

    socket->slotConnectToServer();
    layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(stack);
}

void AgentGUI::registerFonts()
{
    QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/poppins_medium.ttf"));
    const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/nevermind_medium.ttf"));
    const QStringList families = id < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
    if (families.isEmpty()) {
        qCWarning(GuiLog::gui) << "Didn't add application font";
        return;
    }
    QFont font(families.first());
    font.setStyleHint(QFont::Monospace, QFont::PreferDefault);
    QApplication::setFont(font);
}

bool AgentGUI::readBool(const QJsonObject& data, const QString& key, bool& out)
{
    const QJsonValue value = data.value(key);
    if (value.isBool()) {
        out = value.toBool();
        return true;
    }
    if (value.isDouble()) {
        out = value.toDouble() != 0;
        return true;
    }
    qCWarning(GuiLog::gui) << "No usable" << key << "in" << data;
    return false;
}

void AgentGUI::makeConnections()
{
    // Pages to the window and the tray.
    connect(filteringStatus, &FilteringStatus::signalClose, this, &AgentGUI::signalClose);
    connect(alert, &Alert::signalClose, this, &AgentGUI::signalClose);
    connect(authorization, &Authorization::signalClose, this, &AgentGUI::signalClose);
    connect(personalArea, &PersonalArea::signalClose, this, &AgentGUI::signalClose);
    connect(checkerVersion, &CheckerVersion::signalClose, this, &AgentGUI::signalClose);
    connect(this, &AgentGUI::signalClose, tray, &Tray::signalCloseParent);
    connect(tray, &Tray::signalShow, this, &AgentGUI::slotShow);
    connect(checkerActivation, &CheckerActivation::signalActivationGui, this, &AgentGUI::slotShow);

    // Sign-in.
    connect(authorization, &Authorization::signalSuccess, this, &AgentGUI::slotGoCabinet);
    connect(authorization, &Authorization::signalSuccess, socket, &TcpSocket::slotLogin);
    connect(authorization, &Authorization::signalLogout, this, [this] {
        socket->slotLogout();
        slotShow();
    });
    connect(personalArea, &PersonalArea::signalLogout, authorization, &Authorization::signalLogout);

    // Versions.
    connect(authorization, &Authorization::signalGetUpdate, checkerVersion,
            &CheckerVersion::signalGetVersion);
    connect(personalArea, &PersonalArea::signalGetUpdate, checkerVersion, &CheckerVersion::signalGetVersion);
    connect(checkerVersion, &CheckerVersion::signalGetVersion, socket, &TcpSocket::slotGetVersion);
    connect(checkerVersion, &CheckerVersion::signalNewVersion, authorization,
            &Authorization::signalNewVersion);
    connect(checkerVersion, &CheckerVersion::signalNewVersion, personalArea, &PersonalArea::signalNewVersion);
    connect(checkerVersion, &CheckerVersion::signalNewVersion, this, &AgentGUI::slotGoUpdate);
    connect(checkerVersion, &CheckerVersion::signalRemindLater, this, &AgentGUI::slotSetWindow);

    // Commands of the pages.
    connect(authorization, &Authorization::signalCheckAuth, socket, &TcpSocket::slotCheckAuth);
    connect(authorization, &Authorization::signalCreatePin, socket, &TcpSocket::slotCreatePin);
    connect(authorization, &Authorization::signalCheckPin, socket, &TcpSocket::slotCheckPin);
    connect(personalArea, &PersonalArea::signalFilteringStatus, socket, &TcpSocket::slotFilteringStatusLocal);
    connect(personalArea, &PersonalArea::signalGetProfiles, socket, &TcpSocket::slotGetProfiles);
    connect(personalArea, &PersonalArea::signalGetProfileId, socket, &TcpSocket::slotGetProfileId);
    connect(personalArea, &PersonalArea::signalSetProfileId, socket, &TcpSocket::slotSetProfileId);
    connect(personalArea, &PersonalArea::signalGetSystemInfo, socket, &TcpSocket::slotGetSystemInfo);
    connect(personalArea, &PersonalArea::signalGetDebug, socket, &TcpSocket::slotGetDebug);
    connect(personalArea, &PersonalArea::signalSendDebugInfo, socket, &TcpSocket::slotSendDebugInfo);
    connect(personalArea, &PersonalArea::signalGetSettings, socket, &TcpSocket::slotGetSettings);
    connect(personalArea, &PersonalArea::signalChangeDnsProtocol, socket, &TcpSocket::slotChangeDnsProtocol);
    connect(personalArea, &PersonalArea::signalChangeNetInterface, socket,
            &TcpSocket::slotChangeNetInterface);
    connect(alert, &Alert::signalChangeStatusLog, socket, &TcpSocket::slotChangeStatusLog);
    connect(authorization, &Authorization::signalChangeStatusLog, socket, &TcpSocket::slotChangeStatusLog);
    connect(checkerVersion, &CheckerVersion::signalChangeStatusLog, socket, &TcpSocket::slotChangeStatusLog);
    connect(personalArea, &PersonalArea::signalChangeStatusLog, socket, &TcpSocket::slotChangeStatusLog);

    // Window position.
    connect(this, &AgentGUI::signalGetCoord, socket, &TcpSocket::slotGetCoordGui);
    connect(this, &AgentGUI::signalSetCoord, this, [this] {
        socket->slotSetCoordGui(
            QJsonObject{{PayloadKeys::X, QString::number(x())}, {PayloadKeys::Y, QString::number(y())}});
    });

    // Agent messages to the pages.
    connect(socket, &TcpSocket::signalStatusCheckAuth, authorization, &Authorization::slotStatusCheckAuth);
    connect(socket, &TcpSocket::signalStatusCreatePin, authorization, &Authorization::slotStatusCreatePin);
    connect(socket, &TcpSocket::signalStatusCheckPin, authorization, &Authorization::slotStatusCheckPin);
    connect(socket, &TcpSocket::signalVersions, checkerVersion, &CheckerVersion::slotVersions);
    connect(socket, &TcpSocket::signalUserInfo, personalArea, &PersonalArea::slotUserInfo);
    connect(socket, &TcpSocket::signalFilteringStatusLocal, personalArea, &PersonalArea::slotFilteringStatus);
    connect(socket, &TcpSocket::signalProfiles, personalArea, &PersonalArea::slotProfiles);
    connect(socket, &TcpSocket::signalProfileId, personalArea, &PersonalArea::slotProfileId);
    connect(socket, &TcpSocket::signalSystemInfo, personalArea, &PersonalArea::slotSystemInfo);
    connect(socket, &TcpSocket::signalDebug, personalArea, &PersonalArea::slotDebug);
    connect(socket, &TcpSocket::signalNetInterfaces, personalArea, &PersonalArea::slotNetInterfaces);
    connect(socket, &TcpSocket::signalDnsProtocol, personalArea, &PersonalArea::slotDnsProtocol);
    connect(socket, &TcpSocket::signalFilteringStatusServer, this,
            [this](const QJsonObject& data) { filteringStatusServer(data); });
    connect(socket, &TcpSocket::signalStatusAuthData, this, [this](const QJsonObject& data) {
        bool stored = false;
        if (!readBool(data, PayloadKeys::Status, stored))
            return;
        stack->setCurrentIndex(PAGE_AUTHORIZATION);
        authorization->slotShow(stored);
    });
    connect(socket, &TcpSocket::signalCoordGui, this, [this](const QJsonObject& data) { placeWindow(data); });
    connect(socket, &TcpSocket::signalStatusLog, this, [this](const QJsonObject& data) {
        bool status = false;
        if (!readBool(data, PayloadKeys::StatusLog, status))
            return;
        alert->slotStatusLog(status);
        authorization->slotStatusLog(status);
        checkerVersion->slotStatusLog(status);
        personalArea->slotStatusLog(status);
        filteringStatus->slotStatusLog(status);
    });
    connect(socket, &TcpSocket::signalStatusAd, this, [this](const QJsonObject& data) {
        bool status = false;
        if (!readBool(data, PayloadKeys::StatusAd, status))
            return;
        alert->slotStatusAd(status);
        authorization->slotStatusAd(status);
        checkerVersion->slotStatusAd(status);
        personalArea->slotStatusAd(status);
        filteringStatus->slotStatusAd(status);
    });
    // Agents before the resolver's health was tracked never send it: the
    // page and the tooltip then stay as they were. A state this program
    // does not know is ignored.
    connect(socket, &TcpSocket::signalStatusResolver, this, [this](const QJsonObject& data) {
        ResolverStatus status;
        if (!ResolverStatus::fromJson(data, &status)) {
            qCInfo(GuiLog::socketGet) << "STATUSRESOLVER not understood, ignored";
            return;
        }
        const QString text = PersonalArea::resolverStatusText(status);
        personalArea->setResolverText(text);
        tray->setStatusText(text);
    });
    connect(socket, &TcpSocket::signalSuccessConnection, this, [this] {
        // A new agent (or an older one after an update went back) sends its
        // state right after the greeting, if it has one.
        personalArea->setResolverText(QString());
        tray->setStatusText(QString());
        tray->slotShow();
        checkerActivation->setAgentReachable(true);
        checkerActivation->check();
    });
    connect(socket, &TcpSocket::signalListenerRefused, this, [this] {
        alert->slotListenerRefused();
        stack->setCurrentIndex(PAGE_ALERT);
        show();
    });
    connect(socket, &TcpSocket::signalErrorConnection, this, [this] {
        alert->slotWaiting();
        checkerActivation->setAgentReachable(false);
        tray->slotHide();
        hide();
    });
}

void AgentGUI::filteringStatusServer(const QJsonObject& data)
{
    qCDebug(GuiLog::gui) << "FilteringStatusServer" << data;
    bool status = false;
    if (!readBool(data, PayloadKeys::FilteringStatus, status))
        return;
    slotGoFilteringStatus(status);
}

void AgentGUI::placeWindow(const QJsonObject& coordinates)
{
    QList<QRect> screens;
    const QList<QScreen*> all = QGuiApplication::screens();
    for (const QScreen* screen : all)
        screens.append(screen->geometry());
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QRect available = primary ? primary->availableGeometry() : QRect();
    const WindowPlacement::Result result = WindowPlacement::place(coordinates, size(), available, screens);
    switch (result.kind) {
    case WindowPlacement::Invalid:
        qCWarning(GuiLog::gui) << "Stored position is not usable, centring:" << coordinates;
        break;
    case WindowPlacement::OffScreen:
    case WindowPlacement::Stored: {
        const QString screenName =
            result.screen >= 0 ? all.at(result.screen)->name() : QStringLiteral("none");
        qCDebug(GuiLog::gui) << "FIND SCREEN" << screenName << result.x << result.y;
        break;
    }
    case WindowPlacement::Centred:
        break;
    }
    move(result.position);
}

void AgentGUI::show()
{
    QWidget::show();
    raise();
    activateWindow();
}

void AgentGUI::slotShow()
{
    socket->slotAuthData();
    if (socket->isConnected())
        show();
    emit signalGetCoord();
}

void AgentGUI::slotGoAlert()
{
    stack->setCurrentIndex(PAGE_ALERT);
}

void AgentGUI::slotGoAuthorization(bool status)
{
    stack->setCurrentIndex(PAGE_AUTHORIZATION);
    authorization->slotShow(status);
}

void AgentGUI::slotGoCabinet()
{
    stack->setCurrentIndex(PAGE_CABINET);
    personalArea->slotShow();
}

void AgentGUI::slotGoUpdate(bool status)
{
    if (!status)
        return;
    // Coming from a page the user was looking at, "Remind later" goes back
    // to it; popping up from the tray, it goes back to the tray.
    checkerVersion->setBackWidget(isVisible() ? stack->currentWidget() : nullptr);
    show();
    emit signalGetCoord();
    stack->setCurrentIndex(PAGE_UPDATE);
}

void AgentGUI::slotSetWindow()
{
    if (QWidget* back = checkerVersion->getBackWidget()) {
        stack->setCurrentWidget(back);
        return;
    }
    emit signalClose();
}

void AgentGUI::slotGoFilteringStatus(bool status)
{
    if (!status) {
        stack->setCurrentIndex(PAGE_FILTERING);
        return;
    }
    if (stack->currentIndex() == PAGE_FILTERING)
        slotShow();
}

void AgentGUI::closeEvent(QCloseEvent* event)
{
    event->ignore();
    emit signalClose();
}

void AgentGUI::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && event->pos().y() < ConstData::getHeightWindowMover()) {
        pressOffset = event->pos();
        setCursor(Qt::ClosedHandCursor);
        dragging = true;
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void AgentGUI::mouseMoveEvent(QMouseEvent* event)
{
    if ((event->buttons() & Qt::LeftButton) && dragging) {
        move(event->globalPos() - pressOffset);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void AgentGUI::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && dragging) {
        setCursor(Qt::ArrowCursor);
        dragging = false;
        emit signalSetCoord();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}
