// Pictures of every page of the tray program's main window, rendered the way
// the window draws them (same fonts, the fixed 1145 x 600 size), fed with
// sample data. A stand-in agent on the control port keeps the window in its
// connected state; run it in a private network namespace.
//
// Every page is also fed the longest texts its labels can be given (each
// status text, long names and addresses), and each picture is checked: a
// label whose text does not fit its own box or lies partly outside the
// widgets around it is reported as clipped and fails the run.
//
// usage: corvane-gui-page-shots <output dir>      writes one PNG per page
//        corvane-gui-page-shots --points           prints the window positions
//                                                  the end-to-end script clicks
#include "gui/AgentGUI.h"
#include "gui/Alert.h"
#include "gui/AuthToken.h"
#include "gui/Authentication.h"
#include "gui/Authorization.h"
#include "gui/CheckerVersion.h"
#include "gui/ClickableFrameProtocol.h"
#include "gui/ConstData.h"
#include "gui/FilteringStatus.h"
#include "gui/MasterPass.h"
#include "gui/PersonalArea.h"
#include "gui/TableWidget.h"
#include "gui/TableWidgetNetInter.h"
#include "gui/TcpSocket.h"
#include "gui/UpdateCheck.h"
#include "tests/gui/FakeAgent.h"
#include "tests/gui/WidgetLookup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTextStream>
#include <QThread>

using namespace WidgetLookup;

namespace {
void settle(int ms = 150)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool waitFor(const std::function<bool()>& condition, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

QPoint centreIn(QWidget* window, QWidget* widget, const QRect& rect)
{
    return widget->mapTo(window, rect.center());
}

// The labels below `root` whose text is cut: wider or taller than the label's
// box (for wrapped text: taller than the height its width needs), or the box
// itself reaching outside a widget it sits in.
QStringList clippedLabels(QWidget* root)
{
    QStringList found;
    const QList<QLabel*> labels = root->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        if (label->text().isEmpty() || !label->isVisibleTo(root))
            continue;
        QString why;
        if (label->wordWrap()) {
            const int need = label->heightForWidth(label->width());
            if (need > label->height() + 1)
                why = QStringLiteral("needs %1 px of height, has %2").arg(need).arg(label->height());
        } else {
            const QSize need = label->sizeHint();
            if (need.width() > label->width() + 1 || need.height() > label->height() + 1)
                why = QStringLiteral("needs %1x%2, has %3x%4")
                          .arg(need.width())
                          .arg(need.height())
                          .arg(label->width())
                          .arg(label->height());
        }
        for (QWidget* outer = label->parentWidget(); why.isEmpty() && outer && outer != root->parentWidget();
             outer = outer->parentWidget()) {
            const QRect box(label->mapTo(outer, QPoint(0, 0)), label->size());
            if (!outer->rect().adjusted(-1, -1, 1, 1).contains(box))
                why = QStringLiteral("reaches outside %1")
                          .arg(outer->objectName().isEmpty()
                                   ? QString::fromLatin1(outer->metaObject()->className())
                                   : outer->objectName());
        }
        if (!why.isEmpty())
            found << QStringLiteral("%1 \"%2\": %3")
                         .arg(label->objectName().isEmpty() ? QStringLiteral("label") : label->objectName(),
                              label->text().left(60).replace(QLatin1Char('\n'), QLatin1Char(' ')), why);
    }
    return found;
}

QJsonObject sampleProfiles()
{
    QJsonArray list;
    const QList<QPair<int, QString>> entries{{1, "Unfiltered"}, {2, "Kids"}, {3, "Work"}};
    for (const auto& entry : entries)
        list.append(QJsonObject{{QStringLiteral("id"), entry.first}, {QStringLiteral("name"), entry.second}});
    return QJsonObject{{QStringLiteral("profiles"), list}};
}
} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("agentcorvanegui"));
    const QStringList args = application.arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    const bool points = args.contains(QStringLiteral("--points"));
    if (!points && args.size() < 2) {
        err << "usage: corvane-gui-page-shots <output dir> | --points\n";
        return 2;
    }

    FakeAgent agent;
    agent.setSendStartupStatus(true);
    if (!agent.listen(ConstData::getPortTcpOfAgent())) {
        err << "cannot listen on the control port\n";
        return 1;
    }
    AgentGUI window;
    if (!waitFor(
            [&] {
                return child<TcpSocket>(&window, "socket")->isConnected() &&
                       child<Authentication>(child<Authorization>(&window, "authorization"),
                                             "authentication");
            },
            15000)) {
        err << "the window did not reach the stand-in agent\n";
        return 1;
    }
    window.show();
    settle();

    PersonalArea* area = child<PersonalArea>(&window, "personalArea");
    QStackedWidget* stack = child<QStackedWidget>(&window, "pages");
    auto personalArea = [&] {
        stack->setCurrentIndex(AgentGUI::PAGE_CABINET);
        area->slotUserInfo({{QStringLiteral("username"), "demo@corvane.test"},
                            {QStringLiteral("ip"), "203.0.113.25"},
                            {QStringLiteral("plan_name"), "Family"},
                            {QStringLiteral("date_end"), "31.12.2026"}});
        area->slotFilteringStatus({{QStringLiteral("status"), 1}});
        area->slotShow();
        area->slotProfiles(sampleProfiles());
        area->slotProfileId({{QStringLiteral("profile_id"), 2}});
        settle();
    };

    if (points) {
        // Where the end-to-end script clicks, in window coordinates.
        Authorization* authorization = child<Authorization>(&window, "authorization");
        auto field = [&](QWidget* page, const char* objectName, const QString& name) {
            auto* widget = page->findChild<QWidget*>(QString::fromLatin1(objectName));
            const QPoint p = centreIn(&window, widget, widget->rect());
            out << name << ' ' << p.x() << ' ' << p.y() << '\n';
        };
        stack->setCurrentIndex(AgentGUI::PAGE_AUTHORIZATION);
        authorization->slotShow(false);
        settle();
        field(child<Authentication>(authorization, "authentication"), "email",
              QStringLiteral("signin_email"));
        field(child<Authentication>(authorization, "authentication"), "password",
              QStringLiteral("signin_password"));
        authorization->slotStatusCheckAuth({{QStringLiteral("status"), 1}});
        settle();
        field(child<MasterPass>(authorization, "masterPass"), "pin", QStringLiteral("pin_create"));
        field(child<MasterPass>(authorization, "masterPass"), "confirm", QStringLiteral("pin_confirm"));
        authorization->slotStatusCreatePin({{QStringLiteral("status"), 1}});
        settle();
        field(child<MasterPass>(authorization, "masterPass"), "pin", QStringLiteral("pin_enter"));
        personalArea();
        TableWidget* profiles = child<TableWidget>(area, "profiles");
        for (int row = 0; row < profiles->rowCount(); ++row) {
            const QPoint p =
                centreIn(&window, profiles->viewport(), profiles->visualItemRect(profiles->item(row, 2)));
            out << "profile_" << profiles->item(row, 0)->text() << ' ' << p.x() << ' ' << p.y() << '\n';
        }
        auto button = [&](const char* name) {
            auto* widget =
                child<PersonalArea>(&window, "personalArea")->findChild<QWidget*>(QString::fromLatin1(name));
            const QPoint p = centreIn(&window, widget, widget->rect());
            out << name << ' ' << p.x() << ' ' << p.y() << '\n';
        };
        button("navPolicy");
        button("navSettings");
        button("logout");
        button("protection");
        area->slotSettingsButton();
        settle();
        for (int i = 0; i < 3; ++i) {
            ClickableFrameProtocol* frame = protocolFrame(area, i);
            const QPoint p = centreIn(&window, frame, frame->rect());
            out << "protocol_" << frame->getName() << ' ' << p.x() << ' ' << p.y() << '\n';
        }
        return 0;
    }

    const QString dir = args.at(1);
    if (!QDir().mkpath(dir)) {
        err << "cannot create " << dir << '\n';
        return 1;
    }
    int failures = 0;
    auto shotOf = [&](QWidget* page, const QString& name) {
        settle(250);
        const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
        if (!page->grab().save(path)) {
            err << "cannot write " << path << '\n';
            ++failures;
            return;
        }
        out << path << '\n';
        for (const QString& clipped : clippedLabels(page)) {
            err << "CLIPPED in " << name << ": " << clipped << '\n';
            ++failures;
        }
    };
    auto shot = [&](const QString& name) { shotOf(&window, name); };

    stack->setCurrentIndex(AgentGUI::PAGE_ALERT);
    shot(QStringLiteral("01-connecting"));
    child<Alert>(&window, "alert")->slotListenerRefused();
    shot(QStringLiteral("01a-listener-refused"));
    child<Alert>(&window, "alert")->slotWaiting();

    stack->setCurrentIndex(AgentGUI::PAGE_AUTHORIZATION);
    Authorization* authorization = child<Authorization>(&window, "authorization");
    authorization->slotShow(false);
    shot(QStringLiteral("02-sign-in"));
    auto* email = child<Authentication>(authorization, "authentication")
                      ->findChild<QLineEdit*>(QStringLiteral("email"));
    auto* password = child<Authentication>(authorization, "authentication")
                         ->findChild<QLineEdit*>(QStringLiteral("password"));
    email->setText(QStringLiteral("demo"));
    password->setText(QStringLiteral("wrong-password"));
    child<Authentication>(authorization, "authentication")
        ->findChild<QPushButton*>(QStringLiteral("signIn"))
        ->click();
    authorization->slotStatusCheckAuth({{QStringLiteral("status"), 0}});
    shot(QStringLiteral("03-sign-in-rejected"));
    authorization->slotStatusCheckAuth({{QStringLiteral("status"), 2}});
    shot(QStringLiteral("03a-sign-in-network-error"));
    for (int attempt = 0; attempt < 3; ++attempt)
        authorization->slotStatusCheckAuth({{QStringLiteral("status"), 0}});
    shot(QStringLiteral("03b-sign-in-locked-out"));
    authorization->slotStatusCheckAuth({{QStringLiteral("status"), 1}});
    shot(QStringLiteral("04-pin-create"));
    authorization->slotStatusCreatePin({{QStringLiteral("status"), 2}});
    shot(QStringLiteral("04a-pin-create-wrong-length"));
    authorization->slotStatusCreatePin({{QStringLiteral("status"), 0}});
    shot(QStringLiteral("04b-pin-create-not-set"));
    authorization->slotStatusCreatePin({{QStringLiteral("status"), 1}});
    shot(QStringLiteral("05-pin-enter"));
    authorization->slotStatusCheckPin({{QStringLiteral("status"), 4}});
    shot(QStringLiteral("05a-pin-enter-network-error"));
    authorization->slotStatusCheckPin({{QStringLiteral("status"), 2}});
    shot(QStringLiteral("05b-pin-enter-wrong-length"));
    authorization->slotStatusCheckPin({{QStringLiteral("status"), 5}});
    shot(QStringLiteral("05c-pin-enter-problem"));
    authorization->slotStatusCheckPin({{QStringLiteral("status"), 3}});
    waitFor([&] { return formIndex(authorization) == 0; }, 3000);
    shot(QStringLiteral("06-sign-in-launch-limit"));

    personalArea();
    shot(QStringLiteral("07-personal-area-policy"));
    area->slotPolicy();
    area->slotProfiles({{QStringLiteral("profiles"), QJsonArray{}}});
    shot(QStringLiteral("08-personal-area-policy-error"));
    area->slotSystemInfoButton();
    shot(QStringLiteral("09-personal-area-system-loading"));
    area->slotSystemInfo(
        {{QStringLiteral("system_info"),
          "Computer name: WS-042\nOperating system: Windows 10 Pro 22H2 (build 19045)\nAgent version: 4.1.0\n"
          "Protection: on\nDNS protocol: DoT\nToken: 10015...\nInterfaces:\n  Ethernet  {4D36E972-E325-11CE} "
          " "
          "protected\n  Wi-Fi     {4D36E973-E325-11CE}  protected\n"}});
    shot(QStringLiteral("10-personal-area-system-information"));
    area->slotDebugButton();
    const QJsonArray report{
        QJsonObject{
            {QStringLiteral("log_name"), "tracert"},
            {QStringLiteral("log_message"),
             "Tracing route to doh.corvane.test [127.53.0.3]\n  1  <1 ms  <1 ms  <1 ms  127.53.0.3\nTrace "
             "complete."}},
        QJsonObject{{QStringLiteral("log_name"), "nslookup"},
                    {QStringLiteral("log_message"),
                     "black.corvane.test text = \"token 10015 account 101 profile 2\""}}};
    area->slotDebug(
        {{QStringLiteral("debug"), QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact))}});
    area->slotStatusLog(true);
    shot(QStringLiteral("11-personal-area-debug"));
    area->slotSettingsButton();
    area->slotDnsProtocol({{QStringLiteral("dns_protocol"), 2}});
    shot(QStringLiteral("12-personal-area-settings-protocols"));
    area->slotNetInterfaces(
        {{QStringLiteral("interfaces"),
          QJsonArray{QJsonObject{{QStringLiteral("guid"), "{4D36E972-E325-11CE-BFC1-08002BE10318}"},
                                 {QStringLiteral("name"), "Ethernet"},
                                 {QStringLiteral("status"), true}},
                     QJsonObject{{QStringLiteral("guid"), "{4D36E973-E325-11CE-BFC1-08002BE10318}"},
                                 {QStringLiteral("name"), "Wi-Fi"},
                                 {QStringLiteral("status"), false}}}}});
    area->findChild<QTabWidget*>(QStringLiteral("settingsTabs"))->setCurrentIndex(1);
    shot(QStringLiteral("13-personal-area-settings-interfaces"));

    child<CheckerVersion>(&window, "checkerVersion")
        ->slotVersions({{QStringLiteral("status"), 2},
                        {QStringLiteral("url"), "https://www.corvane.test/download"},
                        {QStringLiteral("get_version"), "4.2.0"}});
    stack->setCurrentIndex(AgentGUI::PAGE_UPDATE);
    shot(QStringLiteral("14-update-notice"));
    stack->setCurrentIndex(AgentGUI::PAGE_FILTERING);
    shot(QStringLiteral("15-filtering-off"));

    // The longest agent data the personal area shows, and the update check
    // that got no answer.
    personalArea();
    area->slotUserInfo(
        {{QStringLiteral("username"), "a.very.long.account.name@subsidiary.example.corvane.test"},
         {QStringLiteral("ip"), "2001:0db8:85a3:0000:0000:8a2e:0370:7334"},
         {QStringLiteral("plan_name"), "Family and Small Business Premium Annual"},
         {QStringLiteral("date_end"), "31.12.2026"}});
    area->slotProfiles(QJsonObject{
        {QStringLiteral("profiles"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("name"), "Unfiltered"}},
                    QJsonObject{{QStringLiteral("id"), 2},
                                {QStringLiteral("name"),
                                 "Kids at home on school days, strict social networks and games policy"}},
                    QJsonObject{{QStringLiteral("id"), 4294967294LL}, {QStringLiteral("name"), "Work"}}}}});
    area->slotProfileId({{QStringLiteral("profile_id"), 2}});
    if (auto* check = area->findChild<UpdateCheck*>()) {
        check->setBoundMs(1);
        check->slotStart();
    }
    shot(QStringLiteral("16-personal-area-long-data"));

    // The resolver's line: the filtering service away, and the longest
    // detail the agent sends (another program on the DNS port).
    ResolverStatus resolver;
    resolver.state = ResolverStatus::State::FailOpen;
    area->setResolverText(PersonalArea::resolverStatusText(resolver));
    shot(QStringLiteral("16b-personal-area-not-filtered"));
    resolver.state = ResolverStatus::State::PortTaken;
    resolver.detail =
        QStringLiteral("127.0.0.1:53 and [::1]:53 held by process 4242 "
                       "(C:\\Program Files\\Some Vendor\\Local DNS Cache\\dnscache-service.exe)");
    area->setResolverText(PersonalArea::resolverStatusText(resolver));
    shot(QStringLiteral("16c-personal-area-port-taken"));
    area->setResolverText(QString());

    // The access-key form of directory mode, with its badge and the network
    // error, at the window's size.
    AuthToken keyForm(nullptr, ConstData::getAppName());
    keyForm.setFixedSize(window.size());
    keyForm.slotStatusAd(true);
    keyForm.show();
    keyForm.setCheckAuth(Authentication::NETWORK_ERROR);
    shotOf(&keyForm, QStringLiteral("17-access-key-network-error"));
    keyForm.hide();
    window.show();
    return failures == 0 ? 0 : 1;
}
