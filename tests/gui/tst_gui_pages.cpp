#include "gui/AgentGUI.h"
#include "gui/Alert.h"
#include "gui/AuthLogin.h"
#include "gui/AuthToken.h"
#include "gui/Authorization.h"
#include "gui/CheckerVersion.h"
#include "gui/ClickableFrameProtocol.h"
#include "gui/ClickableFrameRadio.h"
#include "gui/ClickableFrameWrap.h"
#include "gui/ClickableLabel.h"
#include "gui/ClickableLineEdit.h"
#include "gui/ConstData.h"
#include "gui/FilteringStatus.h"
#include "gui/MasterPass.h"
#include "gui/PersonalArea.h"
#include "gui/TableWidget.h"
#include "gui/TableWidgetNetInter.h"
#include "gui/TcpSocket.h"
#include "gui/Tray.h"
#include "gui/UpdateCheck.h"
#include "tests/gui/FakeAgent.h"
#include "tests/gui/WidgetLookup.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace WidgetLookup;

namespace {
const QString launchLimit = QStringLiteral("You have reached the agent launch limit, \ndelete the settings "
                                           "in the cabinet \nor use other credentials");
const QString oops =
    QStringLiteral("Oops! Something went wrong.\nPlease make sure your internet connection is "
                   "stable\nor contact our technical support by ");

QJsonObject profileList(const QList<QPair<int, QString>>& entries)
{
    QJsonArray list;
    for (const auto& entry : entries)
        list.append(QJsonObject{{QStringLiteral("id"), entry.first}, {QStringLiteral("name"), entry.second}});
    return QJsonObject{{QStringLiteral("profiles"), list}};
}
} // namespace

// The sign-in, PIN, personal area and status pages and their helper widgets.
class TestGuiPages : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dataHome;

    // A personal area on screen with the Policy section answered.
    static std::unique_ptr<PersonalArea> openArea()
    {
        auto area = std::make_unique<PersonalArea>(nullptr, ConstData::getAppName());
        area->resize(ConstData::getSizeWin());
        area->show();
        return area;
    }

    static void clickRow(QTableWidget* table, int row, int column = 2)
    {
        QTableWidgetItem* item = table->item(row, column);
        QVERIFY(item);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier,
                          table->visualItemRect(item).center());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dataHome.isValid());
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
        QCoreApplication::setApplicationName(QStringLiteral("agentcorvanegui"));
    }

    // --- account header ------------------------------------------------------

    void cutText_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("planName");
        QTest::addColumn<QString>("shownName");
        QTest::addColumn<QString>("shownPlan");
        QTest::newRow("12 and 8: whole") << "abcdefghijkl"
                                         << "Standard"
                                         << "abcdefghijkl"
                                         << "Standard";
        QTest::newRow("13 and 9: cut")
            << "abcdefghijklm"
            << "Standard+" << QStringLiteral("abcdefghijkl\u2026") << QStringLiteral("Standard\u2026");
        QTest::newRow("very long") << QString(5000, QLatin1Char('x')) << QString(300, QLatin1Char('p'))
                                   << QString(12, QLatin1Char('x')) + QChar(0x2026)
                                   << QString(8, QLatin1Char('p')) + QChar(0x2026);
        QTest::newRow("empty") << ""
                               << ""
                               << ""
                               << "";
    }

    void cutText()
    {
        QFETCH(QString, username);
        QFETCH(QString, planName);
        QFETCH(QString, shownName);
        QFETCH(QString, shownPlan);
        auto area = openArea();
        area->slotUserInfo({{QStringLiteral("username"), username},
                            {QStringLiteral("ip"), "198.51.100.7"},
                            {QStringLiteral("plan_name"), planName},
                            {QStringLiteral("date_end"), ""}});
        QCOMPARE(child<QLabel>(area, "user")->text(), shownName);
        QCOMPARE(child<QLabel>(area, "plan")->text(), shownPlan);
        QCOMPARE(child<QLabel>(area, "ip")->text(), QStringLiteral("198.51.100.7"));
        // The full text is in the tooltip only when it was cut.
        QCOMPARE(child<QLabel>(area, "user")->toolTip(), shownName == username ? QString() : username);
        QCOMPARE(child<QLabel>(area, "plan")->toolTip(), shownPlan == planName ? QString() : planName);
        QVERIFY(area->width() <= ConstData::getSizeWin().width());
    }

    void longAddressElided()
    {
        auto area = openArea();
        const QString address = QStringLiteral("2001:0db8:85a3:0000:0000:8a2e:0370:7334");
        area->slotUserInfo({{QStringLiteral("username"), "demo"}, {QStringLiteral("ip"), address}});
        const QString shown = child<QLabel>(area, "ip")->text();
        QVERIFY2(shown.contains(QChar(0x2026)) && shown.startsWith(QLatin1String("2001:")) &&
                     shown.endsWith(QLatin1String("7334")),
                 qPrintable(shown));
        QCOMPARE(area->findChild<QLabel*>(QStringLiteral("ip"))->toolTip(), address);
    }

    void nextPaymentDate_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("split");
        QTest::addColumn<QString>("shown");
        QTest::newRow("December") << "31.12.2026" << true << "31 Dec. 2026";
        QTest::newRow("March") << "05.03.2027" << true << "05 Mar. 2027";
        QTest::newRow("May has no point") << "01.05.2027" << true << "01 May 2027";
        QTest::newRow("September") << "01.09.2027" << true << "01 Sept. 2027";
        QTest::newRow("empty parts dropped") << "31..12.2026" << true << "31 Dec. 2026";
        QTest::newRow("month 13: no name") << "05.13.2027" << true << "052027";
        QTest::newRow("month text: no name") << "05.xx.2027" << true << "052027";
        QTest::newRow("ISO date") << "2026-12-31" << false << "";
        QTest::newRow("two parts") << "12.2026" << false << "";
        QTest::newRow("four parts") << "1.2.3.4" << false << "";
    }

    void nextPaymentDate()
    {
        QFETCH(QString, value);
        QFETCH(bool, split);
        QFETCH(QString, shown);
        QString result;
        QCOMPARE(PersonalArea::formatDate(value, &result), split);
        if (split)
            QCOMPARE(result, shown);

        auto area = openArea();
        area->slotUserInfo({{QStringLiteral("date_end"), "01.01.2026"}});
        QCOMPARE(child<QLabel>(area, "dateEnd")->text(), QStringLiteral("01 Jan. 2026"));
        QVERIFY(!child<QLabel>(area, "dateCaption")->isHidden());
        area->slotUserInfo({{QStringLiteral("date_end"), value}});
        // A value that does not split into three parts leaves the date as it was.
        QCOMPARE(child<QLabel>(area, "dateEnd")->text(), split ? shown : QStringLiteral("01 Jan. 2026"));
        QVERIFY(!child<QLabel>(area, "dateCaption")->isHidden());
        area->slotUserInfo({{QStringLiteral("date_end"), ""}});
        QCOMPARE(child<QLabel>(area, "dateEnd")->text(), QString());
        QVERIFY(child<QLabel>(area, "dateCaption")->isHidden());
    }

    void userInfoOfWrongTypes()
    {
        auto area = openArea();
        area->slotUserInfo({{QStringLiteral("username"), QJsonArray{1, 2}},
                            {QStringLiteral("ip"), QJsonObject{}},
                            {QStringLiteral("plan_name"), true},
                            {QStringLiteral("date_end"), 5}});
        QCOMPARE(child<QLabel>(area, "user")->text(), QString());
        QCOMPARE(child<QLabel>(area, "ip")->text(), QString());
        QCOMPARE(child<QLabel>(area, "plan")->text(), QString());
        QVERIFY(child<QLabel>(area, "dateCaption")->isHidden());
        area->slotUserInfo({});
        QCOMPARE(child<QLabel>(area, "user")->text(), QString());
    }

    // --- profiles ------------------------------------------------------------

    void openingAsksForProfiles()
    {
        auto area = openArea();
        QSignalSpy profiles(area.get(), &PersonalArea::signalGetProfiles);
        QSignalSpy profileId(area.get(), &PersonalArea::signalGetProfileId);
        area->slotShow();
        QCOMPARE(profiles.count(), 1);
        QCOMPARE(child<QStackedWidget>(area, "sections")->currentIndex(), int(PersonalArea::POLICY));
        QVERIFY(!child<QWidget>(area, "overlay")->isHidden());
        QVERIFY(overlayAnimated(area));
        QCOMPARE(
            child<QLabel>(area, "overlayText")->text(),
            QStringLiteral("The list of profiles is being collected.\nIt will take less than one minute."));
        area->slotProfiles(profileList({{1, "Unfiltered"}, {2, "Kids"}, {3, "Work"}}));
        QCOMPARE(profileId.count(), 1);
        QCOMPARE(child<TableWidget>(area, "profiles")->rowCount(), 3);
        QCOMPARE(child<TableWidget>(area, "profiles")->item(1, 2)->text(), QStringLiteral("KIDS"));
        QCOMPARE(child<TableWidget>(area, "profiles")->item(1, 0)->text(), QStringLiteral("2"));
        // Still waiting for the current profile.
        QVERIFY(!child<QWidget>(area, "overlay")->isHidden());
        area->slotProfileId({{QStringLiteral("profile_id"), 2}});
        QVERIFY(child<QWidget>(area, "overlay")->isHidden());
        QCOMPARE(currentProfileId(area), QStringLiteral("2"));
        area->slotProfileId({{QStringLiteral("profile_id"), 3}});
        QCOMPARE(currentProfileId(area), QStringLiteral("3"));
        QCOMPARE(child<TableWidget>(area, "profiles")->item(1, 1)->checkState(), Qt::Unchecked);
        // An unknown or missing id clears the mark and still ends the wait.
        area->slotProfileId({{QStringLiteral("profile_id"), 99}});
        QCOMPARE(currentProfileId(area), QString());
        area->showLoading(QStringLiteral("wait"));
        area->slotProfileId({});
        QVERIFY(child<QWidget>(area, "overlay")->isHidden());
    }

    void emptyProfileListShowsNotice_data()
    {
        QTest::addColumn<QJsonObject>("data");
        QTest::newRow("empty array") << QJsonObject{{QStringLiteral("profiles"), QJsonArray{}}};
        QTest::newRow("missing") << QJsonObject{};
        QTest::newRow("not an array") << QJsonObject{{QStringLiteral("profiles"), "Kids"}};
    }

    void emptyProfileListShowsNotice()
    {
        QFETCH(QJsonObject, data);
        auto area = openArea();
        area->slotShow();
        area->slotProfiles(profileList({{1, "Unfiltered"}}));
        QSignalSpy profileId(area.get(), &PersonalArea::signalGetProfileId);
        area->slotProfiles(data);
        QCOMPARE(child<TableWidget>(area, "profiles")->rowCount(), 0);
        QCOMPARE(profileId.count(), 0);
        QVERIFY(!child<QWidget>(area, "overlay")->isHidden());
        QVERIFY(!overlayAnimated(area));
        QCOMPARE(child<QLabel>(area, "overlayText")->text(), oops + ConstData::getSupportEmail());
        // The notice stays until a later request and its answer.
        area->slotPolicy();
        QVERIFY(overlayAnimated(area));
        area->slotProfiles(profileList({{1, "Unfiltered"}}));
        area->slotProfileId({{QStringLiteral("profile_id"), 1}});
        QVERIFY(child<QWidget>(area, "overlay")->isHidden());
    }

    void clickOnProfileSwitches()
    {
        auto area = openArea();
        area->slotShow();
        area->slotProfiles(profileList({{1, "Unfiltered"}, {2, "Kids"}, {3, "Work"}}));
        QSignalSpy setProfile(area.get(), &PersonalArea::signalSetProfileId);
        // While the overlay is up, clicks on the table are ignored.
        clickRow(child<TableWidget>(area, "profiles"), 1);
        QCOMPARE(setProfile.count(), 0);
        area->slotProfileId({{QStringLiteral("profile_id"), 1}});
        clickRow(child<TableWidget>(area, "profiles"), 1);
        QCOMPARE(setProfile.count(), 1);
        QCOMPARE(setProfile.at(0).at(0).value<QJsonObject>(),
                 QJsonObject({{QStringLiteral("profile_id"), 2}}));
        QVERIFY(setProfile.at(0).at(0).value<QJsonObject>().value(QStringLiteral("profile_id")).isDouble());
        QCOMPARE(child<QLabel>(area, "overlayText")->text(),
                 QStringLiteral("Profile switching in progress.\nIt will take less than one minute."));
        // The mark moves only when the agent reports the new profile.
        QCOMPARE(currentProfileId(area), QStringLiteral("1"));
        clickRow(child<TableWidget>(area, "profiles"), 2);
        QCOMPARE(setProfile.count(), 1);
        area->slotProfileId({{QStringLiteral("profile_id"), 2}});
        QCOMPARE(currentProfileId(area), QStringLiteral("2"));
    }

    void profileWithoutIdIsNotSent()
    {
        auto area = openArea();
        area->slotProfiles(QJsonObject{
            {QStringLiteral("profiles"), QJsonArray{QJsonObject{{QStringLiteral("name"), "No id"}}, 7}}});
        area->slotProfileId({});
        QCOMPARE(child<TableWidget>(area, "profiles")->rowCount(), 2);
        QSignalSpy setProfile(area.get(), &PersonalArea::signalSetProfileId);
        QTest::ignoreMessage(QtWarningMsg, "Profile without a usable id in row 0");
        clickRow(child<TableWidget>(area, "profiles"), 0);
        QCOMPARE(setProfile.count(), 0);
    }

    void policyHeaderFoldsTheTable()
    {
        auto area = openArea();
        auto* wrap = child<ClickableFrameWrap>(area.get(), "policyWrap");
        QVERIFY(wrap);
        QVERIFY(child<TableWidget>(area, "profiles")->isVisible());
        QTest::mouseClick(wrap, Qt::LeftButton);
        QVERIFY(!child<TableWidget>(area, "profiles")->isVisible());
        QVERIFY(!wrap->isExpanded());
        QTest::mouseClick(wrap, Qt::LeftButton);
        QVERIFY(child<TableWidget>(area, "profiles")->isVisible());
    }

    void emptyFieldShowsGreyPlaceholderFocusedOrNot()
    {
        QWidget window;
        auto* field = new ClickableLineEdit(&window);
        auto* other = new QLineEdit(&window);
        field->setPlaceholderText(QStringLiteral("Email"));
        field->setFrameStyles(QStringLiteral("border: 1px solid #C0BBBB;"),
                              QStringLiteral("border: 1px solid #2F80ED;"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        other->setFocus();
        QTRY_VERIFY(other->hasFocus());
        const QString grey = QStringLiteral("color: #98A2B3;");
        const QString dark = QStringLiteral("color: #101828;");
        QVERIFY(field->styleSheet().contains(QStringLiteral("#C0BBBB")));
        QVERIFY(field->styleSheet().contains(grey));

        field->setFocus();
        QTRY_VERIFY(field->hasFocus());
        QVERIFY(field->styleSheet().contains(QStringLiteral("#2F80ED")));
        QVERIFY2(field->styleSheet().contains(grey), "the placeholder of a focused empty field is grey");

        QTest::keyClicks(field, QStringLiteral("demo"));
        QVERIFY(field->styleSheet().contains(dark));
        field->clear();
        QVERIFY(field->styleSheet().contains(grey));

        QTest::keyClicks(field, QStringLiteral("d"));
        other->setFocus();
        QTRY_VERIFY(!field->hasFocus());
        QVERIFY(field->styleSheet().contains(QStringLiteral("#C0BBBB")));
        QVERIFY2(field->styleSheet().contains(dark), "typed text at rest stays dark");
    }

    void arrowKeysIgnoredInTables()
    {
        auto area = openArea();
        area->slotProfiles(profileList({{1, "Unfiltered"}, {2, "Kids"}, {3, "Work"}}));
        area->slotProfileId({{QStringLiteral("profile_id"), 1}});
        TableWidget* table = child<TableWidget>(area, "profiles");
        table->setCurrentCell(1, 0);
        QTest::keyClick(table, Qt::Key_Down);
        QCOMPARE(table->currentRow(), 1);
        QTest::keyClick(table, Qt::Key_Up);
        QCOMPARE(table->currentRow(), 1);

        TableWidgetNetInter interfaces;
        interfaces.addInTable(QStringLiteral("eth0"), QStringLiteral("{A}"), true);
        interfaces.addInTable(QStringLiteral("wlan0"), QStringLiteral("{B}"), false);
        interfaces.addInTable(QStringLiteral("tun0"), QStringLiteral("{C}"), false);
        interfaces.show();
        interfaces.setCurrentCell(0, 0);
        QTest::keyClick(&interfaces, Qt::Key_Down);
        QCOMPARE(interfaces.currentRow(), 0);
        // Other keys still work (the table is not dead).
        QTest::keyClick(&interfaces, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(interfaces.currentRow(), 2);
        QTest::keyClick(&interfaces, Qt::Key_Up);
        QCOMPARE(interfaces.currentRow(), 2);
    }

    // --- system information and debug --------------------------------------

    void systemInformationAndCopy()
    {
        auto area = openArea();
        QSignalSpy request(area.get(), &PersonalArea::signalGetSystemInfo);
        QTest::mouseClick(child<QPushButton>(area.get(), "navSystemInfo"), Qt::LeftButton);
        QCOMPARE(request.count(), 1);
        QCOMPARE(child<QStackedWidget>(area, "sections")->currentIndex(), int(PersonalArea::SYSTEM_INFO));
        QCOMPARE(
            child<QLabel>(area, "overlayText")->text(),
            QStringLiteral("System information is being collected.\nIt will take less than one minute."));
        area->slotSystemInfo({{QStringLiteral("system_info"), "OS: Debian\nRAM: 4 GB"}});
        QVERIFY(child<QWidget>(area, "overlay")->isHidden());
        QApplication::clipboard()->setText(QStringLiteral("before"));
        QTest::mouseClick(child<QPushButton>(area.get(), "copy"), Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("OS: Debian\nRAM: 4 GB"));
        // A value of the wrong type shows nothing and still ends the wait.
        area->slotSystemInfoButton();
        area->slotSystemInfo({{QStringLiteral("system_info"), QJsonArray{}}});
        QCOMPARE(child<QPlainTextEdit>(area, "systemInfo")->toPlainText(), QString());
        QVERIFY(child<QWidget>(area, "overlay")->isHidden());
    }

    void debugReport_data()
    {
        QTest::addColumn<QJsonValue>("debug");
        QTest::addColumn<QString>("shown");
        const QJsonArray report{
            QJsonObject{{QStringLiteral("log_name"), "tracert"}, {QStringLiteral("log_message"), "1 hop"}},
            QJsonObject{{QStringLiteral("log_name"), "nslookup"}, {QStringLiteral("log_message"), "txt"}}};
        QTest::newRow("array") << QJsonValue(
                                      QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact)))
                               << "--- TRACERT---\n1 hop\n\n--- NSLOOKUP---\ntxt\n\n";
        QTest::newRow("empty array") << QJsonValue(QStringLiteral("[]")) << "";
        QTest::newRow("object") << QJsonValue(QStringLiteral("{\"log_name\":\"x\"}")) << "";
        QTest::newRow("not JSON") << QJsonValue(QStringLiteral("tracert output")) << "";
        QTest::newRow("cut JSON") << QJsonValue(QStringLiteral("[{\"log_name\":\"tr")) << "";
        QTest::newRow("number") << QJsonValue(5) << "";
        QTest::newRow("entries of other types")
            << QJsonValue(QStringLiteral("[1, {\"log_name\": 2}]")) << "--- ---\n\n\n--- 2---\n\n\n";
    }

    void debugReport()
    {
        QFETCH(QJsonValue, debug);
        QFETCH(QString, shown);
        auto area = openArea();
        QSignalSpy request(area.get(), &PersonalArea::signalGetDebug);
        QSignalSpy send(area.get(), &PersonalArea::signalSendDebugInfo);
        QTest::mouseClick(child<QPushButton>(area.get(), "navDebug"), Qt::LeftButton);
        QCOMPARE(request.count(), 1);
        QCOMPARE(child<QLabel>(area, "overlayText")->text(),
                 QStringLiteral("Debug information is collected.\nIt will take less than one minute."));
        if (shown.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, "slotDebug: no usable report");
        area->slotDebug({{QStringLiteral("debug"), debug}});
        QCOMPARE(child<QPlainTextEdit>(area, "debug")->toPlainText(), shown);
        QVERIFY(child<QWidget>(area, "overlay")->isHidden());
        QTest::mouseClick(child<QPushButton>(area.get(), "sendReport"), Qt::LeftButton);
        QCOMPARE(send.count(), 1);
    }

    void loggingSwitchFollowsTheAgent()
    {
        auto area = openArea();
        area->slotDebugButton();
        area->slotDebug({{QStringLiteral("debug"), "[]"}});
        QSignalSpy change(area.get(), &PersonalArea::signalChangeStatusLog);
        area->slotStatusLog(true);
        QVERIFY(child<QCheckBox>(area, "enableLogging")->isChecked());
        QCOMPARE(change.count(), 0);
        child<QCheckBox>(area, "enableLogging")->click();
        QCOMPARE(change.count(), 1);
        // The switch shows the agent's state, which the answer brings.
        QVERIFY(child<QCheckBox>(area, "enableLogging")->isChecked());
        area->slotStatusLog(false);
        QVERIFY(!child<QCheckBox>(area, "enableLogging")->isChecked());
        QCOMPARE(logoToolTip(area), QStringLiteral("Corvane Agent (I)"));
    }

    // --- protection switch, protocols, interfaces ---------------------------

    void protectionSwitchSendsOnlyOnClick()
    {
        auto area = openArea();
        QSignalSpy sent(area.get(), &PersonalArea::signalFilteringStatus);
        QVERIFY(child<QCheckBox>(area, "protection")->isHidden());
        area->slotFilteringStatus({{QStringLiteral("status"), 1}});
        QVERIFY(!child<QCheckBox>(area, "protection")->isHidden());
        QVERIFY(child<QCheckBox>(area, "protection")->isChecked());
        QCOMPARE(child<QCheckBox>(area, "protection")->text(), QStringLiteral("Filtering enabled"));
        area->slotFilteringStatus({{QStringLiteral("status"), 0}});
        QVERIFY(!child<QCheckBox>(area, "protection")->isChecked());
        QCOMPARE(child<QCheckBox>(area, "protection")->text(), QStringLiteral("Filtering disabled"));
        child<QCheckBox>(area, "protection")->toggle();
        QCOMPARE(child<QCheckBox>(area, "protection")->text(), QStringLiteral("Filtering enabled"));
        QCOMPARE(sent.count(), 0);
        // The user's click.
        QTest::mouseClick(child<QCheckBox>(area, "protection"), Qt::LeftButton, Qt::NoModifier,
                          QPoint(20, 12));
        QCOMPARE(sent.count(), 1);
        QCOMPARE(sent.at(0).at(0).value<QJsonObject>(), QJsonObject({{QStringLiteral("status"), 0}}));
        QCOMPARE(child<QCheckBox>(area, "protection")->text(), QStringLiteral("Filtering disabled"));
        child<QCheckBox>(area, "protection")->click();
        QCOMPARE(sent.count(), 2);
        QCOMPARE(sent.at(1).at(0).value<QJsonObject>(), QJsonObject({{QStringLiteral("status"), 1}}));
    }

    void dnsProtocolChecksWithoutSending_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<int>("checked");
        QTest::newRow("DNS") << QJsonValue(0) << 0;
        QTest::newRow("DOH") << QJsonValue(1) << 1;
        QTest::newRow("DOT") << QJsonValue(2) << 2;
        QTest::newRow("unknown 3") << QJsonValue(3) << 2;
        QTest::newRow("negative") << QJsonValue(-1) << 2;
        QTest::newRow("text") << QJsonValue(QStringLiteral("1")) << 2;
        QTest::newRow("fraction") << QJsonValue(1.5) << 2;
        QTest::newRow("missing") << QJsonValue() << 2;
    }

    void dnsProtocolChecksWithoutSending()
    {
        QFETCH(QJsonValue, value);
        QFETCH(int, checked);
        auto area = openArea();
        area->slotSettingsButton();
        area->slotDnsProtocol({{QStringLiteral("dns_protocol"), 2}});
        QSignalSpy sent(area.get(), &PersonalArea::signalChangeDnsProtocol);
        QJsonObject data;
        if (!value.isNull())
            data.insert(QStringLiteral("dns_protocol"), value);
        area->slotDnsProtocol(data);
        QCOMPARE(dnsProtocol(area), checked);
        QCOMPARE(sent.count(), 0);
        // Exactly one frame is checked.
        int count = 0;
        for (int i = 0; i < 3; ++i)
            count += protocolFrame(area, i)->isChecked() ? 1 : 0;
        QCOMPARE(count, 1);
    }

    void clickOnProtocolSends()
    {
        auto area = openArea();
        QSignalSpy settings(area.get(), &PersonalArea::signalGetSettings);
        QTest::mouseClick(child<QPushButton>(area.get(), "navSettings"), Qt::LeftButton);
        QCOMPARE(settings.count(), 1);
        QVERIFY(child<QWidget>(area, "overlay")->isHidden());
        area->slotDnsProtocol({{QStringLiteral("dns_protocol"), 0}});
        QSignalSpy sent(area.get(), &PersonalArea::signalChangeDnsProtocol);
        QTest::mouseClick(protocolFrame(area, 2), Qt::LeftButton);
        QCOMPARE(sent.count(), 1);
        QCOMPARE(sent.at(0).at(0).value<QJsonObject>(), QJsonObject({{QStringLiteral("dns_protocol"), 2}}));
        QCOMPARE(dnsProtocol(area), 2);
        QVERIFY(!protocolFrame(area, 0)->isChecked());
        // Clicking the checked frame again sends nothing.
        QTest::mouseClick(protocolFrame(area, 2), Qt::LeftButton);
        QCOMPARE(sent.count(), 1);
        QCOMPARE(protocolFrame(area, 1)->getName(), QStringLiteral("DOH"));
    }

    void interfacesTable()
    {
        auto area = openArea();
        area->slotSettingsButton();
        child<QTabWidget>(area.get(), "settingsTabs")->setCurrentIndex(1);
        QJsonArray list{QJsonObject{{QStringLiteral("guid"), "{1111}"},
                                    {QStringLiteral("name"), "Ethernet"},
                                    {QStringLiteral("status"), true}},
                        QJsonObject{{QStringLiteral("guid"), "{2222}"},
                                    {QStringLiteral("name"), "Wi-Fi"},
                                    {QStringLiteral("status"), false}},
                        "not an object"};
        area->slotNetInterfaces({{QStringLiteral("interfaces"), list}});
        TableWidgetNetInter* table = child<TableWidgetNetInter>(area, "interfaces");
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("{1111}"));
        QCOMPARE(table->item(1, 1)->text(), QStringLiteral("Wi-Fi"));
        QCOMPARE(table->item(0, 2)->checkState(), Qt::Checked);
        QCOMPARE(table->columnWidth(2), 62);
        QSignalSpy sent(area.get(), &PersonalArea::signalChangeNetInterface);
        clickRow(table, 1, 1);
        QCOMPARE(sent.count(), 1);
        QCOMPARE(sent.at(0).at(0).value<QJsonObject>(),
                 QJsonObject({{QStringLiteral("guid"), "{2222}"}, {QStringLiteral("status"), true}}));
        clickRow(table, 0, 2);
        QCOMPARE(sent.count(), 2);
        QCOMPARE(sent.at(1).at(0).value<QJsonObject>(),
                 QJsonObject({{QStringLiteral("guid"), "{1111}"}, {QStringLiteral("status"), false}}));
        // Ignored while a request is pending.
        area->showLoading(QStringLiteral("wait"));
        clickRow(table, 0, 1);
        QCOMPARE(sent.count(), 2);
        area->hideLoading();
        area->slotNetInterfaces({});
        QCOMPARE(table->rowCount(), 0);
    }

    void updateButtonAnimatesUntilAnswer()
    {
        auto area = openArea();
        QSignalSpy update(area.get(), &PersonalArea::signalGetUpdate);
        QTest::mouseClick(child<QPushButton>(area.get(), "update"), Qt::LeftButton);
        QCOMPARE(update.count(), 1);
        QVERIFY(child<QPushButton>(area, "update")->isChecked());
        emit area->signalNewVersion(true);
        QVERIFY(!child<QPushButton>(area, "update")->isChecked());
        QCOMPARE(child<QPushButton>(area, "update")->text(), QStringLiteral("Service update required"));
        area->slotNewVersion(false);
        QCOMPARE(child<QPushButton>(area, "update")->text(), QStringLiteral("Latest version"));
        // No answer at all: the button stops after its bound and says so.
        area->findChild<UpdateCheck*>()->setBoundMs(50);
        QTest::mouseClick(child<QPushButton>(area.get(), "update"), Qt::LeftButton);
        QVERIFY(child<QPushButton>(area, "update")->isChecked());
        QTRY_COMPARE(child<QPushButton>(area, "update")->text(), QStringLiteral("Update check failed"));
        QVERIFY(!child<QPushButton>(area, "update")->isChecked());
        QSignalSpy logout(area.get(), &PersonalArea::signalLogout);
        QTest::mouseClick(child<QPushButton>(area.get(), "logout"), Qt::LeftButton);
        QCOMPARE(logout.count(), 1);
    }

    // --- PIN -----------------------------------------------------------------

    void pinLengthOnEntry_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("sent");
        QTest::newRow("3") << 3 << false;
        QTest::newRow("4") << 4 << true;
        QTest::newRow("20") << 20 << true;
        QTest::newRow("21") << 21 << false;
    }

    void pinLengthOnEntry()
    {
        QFETCH(int, length);
        QFETCH(bool, sent);
        MasterPass form(nullptr, ConstData::getAppName());
        form.show();
        form.showEnter();
        QCOMPARE(pinTitle(&form), QStringLiteral("PIN-code"));
        QVERIFY(!confirmShown(&form));
        QSignalSpy check(&form, &MasterPass::signalCheckPin);
        auto* pin = child<QLineEdit>(&form, "pin");
        QTest::keyClicks(pin, QString(length, QLatin1Char('7')));
        QTest::keyClick(pin, Qt::Key_Return);
        QCOMPARE(check.count(), sent ? 1 : 0);
        if (sent) {
            QCOMPARE(check.at(0).at(0).value<QJsonObject>(),
                     QJsonObject({{QStringLiteral("pin_code"), QString(length, QLatin1Char('7'))}}));
            QVERIFY(loaderShown(&form));
            QVERIFY(!pin->isEnabled());
        } else {
            QCOMPARE(statusText(&form), QStringLiteral("Password must be between 4 and 20 characters"));
            QVERIFY(!loaderShown(&form));
        }
    }

    void pinLengthOnCreation_data()
    {
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<QString>("message");
        QTest::newRow("3") << "123"
                           << "123"
                           << "Password must be at least 4 characters";
        QTest::newRow("21") << QString(21, QLatin1Char('1')) << QString(21, QLatin1Char('1'))
                            << "Password must be no more than 20 symbols";
        QTest::newRow("mismatch") << "1234"
                                  << "1243"
                                  << "Passwords do not match";
        QTest::newRow("empty confirmation") << "1234"
                                            << ""
                                            << "Passwords do not match";
        QTest::newRow("good") << "1234"
                              << "1234"
                              << "";
    }

    void pinLengthOnCreation()
    {
        QFETCH(QString, pin);
        QFETCH(QString, confirmation);
        QFETCH(QString, message);
        MasterPass form(nullptr, ConstData::getAppName());
        form.show();
        form.showCreate();
        QCOMPARE(pinTitle(&form), QStringLiteral("Set PIN-code"));
        QVERIFY(confirmShown(&form));
        QCOMPARE(child<QPushButton>(&form, "button")->text(), QStringLiteral("Set"));
        QSignalSpy create(&form, &MasterPass::signalCreatePin);
        QSignalSpy check(&form, &MasterPass::signalCheckPin);
        QTest::keyClicks(child<QLineEdit>(&form, "pin"), pin);
        QTest::keyClicks(child<QLineEdit>(&form, "confirm"), confirmation);
        QTest::mouseClick(child<QPushButton>(&form, "button"), Qt::LeftButton);
        QCOMPARE(check.count(), 0);
        QCOMPARE(create.count(), message.isEmpty() ? 1 : 0);
        QCOMPARE(statusText(&form), message);
    }

    void wrongPinLocksOut()
    {
        Authorization page(nullptr, ConstData::getAppName());
        page.slotStatusAd(false);
        page.show();
        page.slotShow(true);
        MasterPass* form = child<MasterPass>(&page, "masterPass");
        auto* button = child<QPushButton>(form, "button");
        auto* pin = child<QLineEdit>(form, "pin");
        QSignalSpy check(&page, &Authorization::signalCheckPin);
        QSignalSpy success(&page, &Authorization::signalSuccess);

        auto wrongAnswer = [&] {
            QTest::keyClicks(pin, QStringLiteral("0000"));
            QTest::keyClick(pin, Qt::Key_Return);
            page.slotStatusCheckPin({{QStringLiteral("status"), 0}});
        };
        // Two wrong, then a correct PIN: the count starts again.
        wrongAnswer();
        wrongAnswer();
        QCOMPARE(form->getCount(), quint16(2));
        QCOMPARE(statusText(form), QStringLiteral("Invalid PIN-code"));
        QVERIFY(pin->text().isEmpty());
        page.slotStatusCheckPin({{QStringLiteral("status"), 1}});
        QCOMPARE(success.count(), 1);
        QCOMPARE(form->getCount(), quint16(0));

        page.slotShow(true);
        wrongAnswer();
        wrongAnswer();
        QVERIFY(button->isEnabled());
        wrongAnswer();
        QCOMPARE(check.count(), 5);
        QVERIFY(form->isLockedOut());
        QVERIFY(!button->isEnabled());
        // The fields stay usable; Return does nothing while locked.
        QVERIFY(pin->isEnabled());
        QTest::keyClicks(pin, QStringLiteral("1234"));
        QTest::keyClick(pin, Qt::Key_Return);
        QCOMPARE(check.count(), 5);
        // A countdown on the button.
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("9"), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("8"), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
        QCOMPARE(button->text(), QStringLiteral("Sign in"));
        QCOMPARE(form->getCount(), quint16(0));
        QVERIFY(!form->isLockedOut());
    }

    void pinAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("2") << 2 << "Password must be between 4 and 20 characters";
        QTest::newRow("4") << 4 << oops + ConstData::getSupportEmail();
        QTest::newRow("7") << 7 << "Problem with validation";
        QTest::newRow("-1") << -1 << "Problem with validation";
    }

    void pinAnswers()
    {
        QFETCH(int, status);
        QFETCH(QString, message);
        Authorization page(nullptr, ConstData::getAppName());
        page.slotStatusAd(false);
        page.slotShow(true);
        child<MasterPass>(&page, "masterPass")->show();
        auto* pin = child<QLineEdit>(child<MasterPass>(&page, "masterPass"), "pin");
        QTest::keyClicks(pin, QStringLiteral("5555"));
        QTest::keyClick(pin, Qt::Key_Return);
        QVERIFY(loaderShown(child<MasterPass>(&page, "masterPass")));
        page.slotStatusCheckPin({{QStringLiteral("status"), status}});
        QCOMPARE(statusText(child<MasterPass>(&page, "masterPass")), message);
        QVERIFY(!loaderShown(child<MasterPass>(&page, "masterPass")));
        QVERIFY(pin->isEnabled());
        QVERIFY(child<QPushButton>(child<MasterPass>(&page, "masterPass"), "button")->isEnabled());
        QCOMPARE(child<MasterPass>(&page, "masterPass")->getCount(), quint16(0));
    }

    void failedPinCreationReleasesTheForm_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::newRow("0") << QJsonObject{{QStringLiteral("status"), 0}};
        QTest::newRow("2") << QJsonObject{{QStringLiteral("status"), 2}};
        QTest::newRow("missing") << QJsonObject{};
        QTest::newRow("text") << QJsonObject{{QStringLiteral("status"), "1"}};
    }

    void failedPinCreationReleasesTheForm()
    {
        QFETCH(QJsonObject, answer);
        Authorization page(nullptr, ConstData::getAppName());
        page.slotStatusAd(false);
        page.show();
        page.slotStatusCheckAuth({{QStringLiteral("status"), 1}});
        MasterPass* form = child<MasterPass>(&page, "masterPass");
        QCOMPARE(formIndex(&page), 1);
        QCOMPARE(pinTitle(form), QStringLiteral("Set PIN-code"));
        QTest::keyClicks(child<QLineEdit>(form, "pin"), QStringLiteral("2468"));
        QTest::keyClicks(child<QLineEdit>(form, "confirm"), QStringLiteral("2468"));
        QTest::keyClick(child<QLineEdit>(form, "confirm"), Qt::Key_Return);
        QVERIFY(loaderShown(form));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^PIN-code not set")));
        page.slotStatusCreatePin(answer);
        QVERIFY(!loaderShown(form));
        QVERIFY(child<QLineEdit>(form, "pin")->isEnabled());
        QVERIFY(child<QPushButton>(form, "button")->isEnabled());
        QVERIFY(!statusText(form).isEmpty());
        QCOMPARE(pinTitle(form), QStringLiteral("Set PIN-code"));
        // The PIN set, it is asked for.
        page.slotStatusCreatePin({{QStringLiteral("status"), 1}});
        QCOMPARE(pinTitle(form), QStringLiteral("PIN-code"));
        QVERIFY(!confirmShown(form));
    }

    // --- sign-in ---------------------------------------------------------------

    void signInValidation()
    {
        AuthLogin form(nullptr, ConstData::getAppName());
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.showEnter();
        QSignalSpy check(&form, &Authentication::signalCheckAuth);
        auto* email = child<QLineEdit>(&form, "email");
        auto* password = child<QLineEdit>(&form, "password");
        QTest::mouseClick(child<QPushButton>(&form, "signIn"), Qt::LeftButton);
        QCOMPARE(statusText(&form), QStringLiteral("Fields cannot be empty"));
        QTest::keyClicks(email, QStringLiteral("demo"));
        // Return in the e-mail field moves to the password.
        QTest::keyClick(email, Qt::Key_Return);
        QVERIFY(password->hasFocus());
        QTest::keyClick(password, Qt::Key_Return);
        QCOMPARE(statusText(&form), QStringLiteral("Fields cannot be empty"));
        QCOMPARE(check.count(), 0);
        QTest::keyClicks(password, QStringLiteral("demo-password"));
        QTest::keyClick(password, Qt::Key_Return);
        QCOMPARE(check.count(), 1);
        QCOMPARE(
            check.at(0).at(0).value<QJsonObject>(),
            QJsonObject({{QStringLiteral("login"), "demo"}, {QStringLiteral("password"), "demo-password"}}));
        QVERIFY(loaderShown(&form));
        QVERIFY(!email->isEnabled());
        form.setCheckAuth(Authentication::NETWORK_ERROR);
        QCOMPARE(statusText(&form), oops + ConstData::getSupportEmail());
        QVERIFY(!loaderShown(&form));
        QVERIFY(email->isEnabled());
        // The eye shows and hides the password.
        QTest::mouseClick(child<QPushButton>(&form, "eye"), Qt::LeftButton);
        QCOMPARE(password->echoMode(), QLineEdit::Normal);
        QTest::mouseClick(child<QPushButton>(&form, "eye"), Qt::LeftButton);
        QCOMPARE(password->echoMode(), QLineEdit::Password);
    }

    void emptyAccessKey()
    {
        AuthToken form(nullptr, ConstData::getAppName());
        form.show();
        form.showEnter();
        QSignalSpy check(&form, &Authentication::signalCheckAuth);
        auto* key = child<QLineEdit>(&form, "key");
        QTest::keyClick(key, Qt::Key_Return);
        QCOMPARE(statusText(&form), QStringLiteral("Field cannot be empty"));
        QCOMPARE(check.count(), 0);
        QTest::keyClicks(key, QStringLiteral("AD-KEY-1"));
        QTest::keyClick(key, Qt::Key_Return);
        QCOMPARE(check.count(), 1);
        QCOMPARE(check.at(0).at(0).value<QJsonObject>(),
                 QJsonObject({{QStringLiteral("token"), "AD-KEY-1"}}));
        form.setCheckAuth(Authentication::WRONG_DATA);
        QCOMPARE(statusText(&form), QStringLiteral("Invalid key"));
        QCOMPARE(form.getCount(), quint16(1));
    }

    void wrongSignInLocksOut()
    {
        Authorization page(nullptr, ConstData::getAppName());
        page.slotStatusAd(false);
        page.show();
        page.slotShow(false);
        Authentication* form = child<Authentication>(&page, "authentication");
        auto* button = child<QPushButton>(form, "signIn");
        auto* email = child<QLineEdit>(form, "email");
        auto* password = child<QLineEdit>(form, "password");
        QSignalSpy check(&page, &Authorization::signalCheckAuth);
        auto attempt = [&](int status) {
            QTest::keyClicks(email, QStringLiteral("demo"));
            QTest::keyClicks(password, QStringLiteral("wrong"));
            QTest::mouseClick(button, Qt::LeftButton);
            page.slotStatusCheckAuth({{QStringLiteral("status"), status}});
            email->clear();
            password->clear();
        };
        attempt(0);
        attempt(0);
        QCOMPARE(form->getCount(), quint16(2));
        QCOMPARE(statusText(form), QStringLiteral("Invalid login/password pair"));
        // A network error does not count; a success resets.
        attempt(2);
        QCOMPARE(form->getCount(), quint16(2));
        attempt(1);
        QCOMPARE(form->getCount(), quint16(0));
        QCOMPARE(formIndex(&page), 1);
        page.slotShow(false);
        attempt(0);
        attempt(0);
        attempt(0);
        QCOMPARE(check.count(), 7);
        QVERIFY(form->isLockedOut());
        QVERIFY(!button->isEnabled());
        QVERIFY(email->isEnabled());
        QVERIFY(!loaderShown(form));
        QTest::keyClicks(email, QStringLiteral("demo"));
        QTest::keyClicks(password, QStringLiteral("demo-password"));
        QTest::keyClick(password, Qt::Key_Return);
        QCOMPARE(check.count(), 7);
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("9"), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
        QCOMPARE(button->text(), QStringLiteral("Sign in"));
        QCOMPARE(form->getCount(), quint16(0));
        attempt(0);
        QCOMPARE(form->getCount(), quint16(1));
        QVERIFY(button->isEnabled());
    }

    void launchLimitKeepsItsNotice()
    {
        Authorization page(nullptr, ConstData::getAppName());
        page.slotStatusAd(false);
        page.show();
        page.slotShow(false);
        auto* email = child<QLineEdit>(child<Authentication>(&page, "authentication"), "email");
        QTest::keyClicks(email, QStringLiteral("demo"));
        page.slotShow(true);
        QSignalSpy logout(&page, &Authorization::signalLogout);
        page.slotStatusCheckPin({{QStringLiteral("status"), 3}});
        QCOMPARE(logout.count(), 1);
        // Logging out cleared the fields; the notice survives the form being shown.
        QVERIFY(email->text().isEmpty());
        QCOMPARE(statusText(child<Authentication>(&page, "authentication")), launchLimit);
        page.slotShow(false);
        QCOMPARE(formIndex(&page), 0);
        QCOMPARE(statusText(child<Authentication>(&page, "authentication")), launchLimit);
        // Until the user acts.
        QTest::keyClicks(email, QStringLiteral("d"));
        QCOMPARE(statusText(child<Authentication>(&page, "authentication")), QString());
        page.slotShow(false);
        QCOMPARE(statusText(child<Authentication>(&page, "authentication")), QString());
    }

    void launchLimitSendsLogout()
    {
        // The main window and a stand-in agent: status 3 becomes "LOGOUT" and
        // the sign-in form with the notice.
        FakeAgent agent;
        QVERIFY(agent.listen(ConstData::getPortTcpOfAgent()));
        agent.setSendStartupStatus(true);
        AgentGUI window;
        QTRY_VERIFY(child<TcpSocket>(&window, "socket")->isConnected());
        QTRY_VERIFY(window.findChild<Authentication*>(QStringLiteral("authentication")) != nullptr);
        window.slotShow();
        QTRY_COMPARE(child<QStackedWidget>(&window, "pages")->currentIndex(),
                     int(AgentGUI::PAGE_AUTHORIZATION));
        agent.clearReceived();
        agent.send(QStringLiteral("STATUSCHECKPIN"), {{QStringLiteral("status"), 3}});
        QTRY_COMPARE(agent.count(QStringLiteral("LOGOUT")), 1);
        QTRY_COMPARE(agent.count(QStringLiteral("AUTHDATA")), 1);
        QCOMPARE(agent.receivedNames().first(), QStringLiteral("LOGOUT"));
        QTRY_COMPARE(formIndex(child<Authorization>(&window, "authorization")), 0);
        QCOMPARE(statusText(
                     child<Authentication>(child<Authorization>(&window, "authorization"), "authentication")),
                 launchLimit);
    }

    void resolverStatusLine_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<QString>("shown");
        const QString open = QStringLiteral("Not filtered: the filtering service cannot be reached");
        const auto state = [](const char* word, const QString& detail = QString()) {
            return QJsonObject{{QStringLiteral("state"), QLatin1String(word)},
                               {QStringLiteral("chosen"), "DoT"},
                               {QStringLiteral("in_use"), "DNS"},
                               {QStringLiteral("since"), 1765262400000.0},
                               {QStringLiteral("detail"), detail}};
        };
        QTest::newRow("fail-open") << state("open") << open;
        QTest::newRow("fail-closed") << state("closed")
                                     << QStringLiteral(
                                            "No internet: the filtering service cannot be reached");
        QTest::newRow("plain DNS") << state("plain")
                                   << QStringLiteral(
                                          "Filtered over plain DNS: the encrypted connection is blocked");
        QTest::newRow("filtered") << state("filtered") << QString();
        QTest::newRow("starting") << state("starting") << QString();
        QTest::newRow("port taken")
            << state("port", QStringLiteral("127.0.0.1:53 held by dnsmasq"))
            << QStringLiteral("Not filtered: another program holds the DNS port (127.0.0.1:53 held "
                              "by dnsmasq)");
        QTest::newRow("port taken, owner unknown")
            << state("port") << QStringLiteral("Not filtered: another program holds the DNS port");
        // What this program cannot read changes nothing.
        QTest::newRow("unknown state") << state("degraded") << open;
        QTest::newRow("no state") << QJsonObject{{QStringLiteral("detail"), "x"}} << open;
        QTest::newRow("state not text") << QJsonObject{{QStringLiteral("state"), 3}} << open;
    }

    void resolverStatusLine()
    {
        QFETCH(QJsonObject, payload);
        QFETCH(QString, shown);
        FakeAgent agent;
        QVERIFY(agent.listen(ConstData::getPortTcpOfAgent()));
        AgentGUI window;
        QTRY_VERIFY(child<TcpSocket>(&window, "socket")->isConnected());
        // Without the message (an older agent) the tooltip is the name alone.
        QCOMPARE(child<Tray>(&window, "tray")->toolTip(), ConstData::getAppName());
        QCOMPARE(resolverText(child<PersonalArea>(&window, "personalArea")), QString());
        const QString open = QStringLiteral("Not filtered: the filtering service cannot be reached");
        agent.send(QStringLiteral("STATUSRESOLVER"), {{QStringLiteral("state"), "open"}});
        agent.send(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), false}});
        QTRY_COMPARE(logoToolTip(child<PersonalArea>(&window, "personalArea")),
                     QStringLiteral("Corvane Agent (I)"));
        QCOMPARE(resolverText(child<PersonalArea>(&window, "personalArea")), open);
        QCOMPARE(child<Tray>(&window, "tray")->toolTip(), ConstData::getAppName() + QLatin1Char('\n') + open);

        agent.send(QStringLiteral("STATUSRESOLVER"), payload);
        // A marker behind it: the message has been handled once the marker is.
        agent.send(QStringLiteral("STATUSLOG"), {{QStringLiteral("status_log"), true}});
        QTRY_COMPARE(logoToolTip(child<PersonalArea>(&window, "personalArea")),
                     QStringLiteral("Corvane Agent (D)"));
        QCOMPARE(resolverText(child<PersonalArea>(&window, "personalArea")), shown);
        QCOMPARE(child<Tray>(&window, "tray")->toolTip(),
                 shown.isEmpty() ? ConstData::getAppName()
                                 : ConstData::getAppName() + QLatin1Char('\n') + shown);
    }

    void updateButtonOnForms()
    {
        Authorization page(nullptr, ConstData::getAppName());
        page.slotStatusAd(true);
        QVERIFY(qobject_cast<AuthToken*>(child<Authentication>(&page, "authentication")));
        QVERIFY(adMarkShown(child<Authentication>(&page, "authentication")));
        page.slotStatusLog(true);
        QCOMPARE(logoToolTip(child<MasterPass>(&page, "masterPass")), QStringLiteral("Corvane Agent (D)"));
        QSignalSpy update(&page, &Authorization::signalGetUpdate);
        child<QPushButton>(child<Authentication>(&page, "authentication"), "update")->click();
        child<QPushButton>(child<MasterPass>(&page, "masterPass"), "update")->click();
        QCOMPARE(update.count(), 2);
        emit page.signalNewVersion(true);
        QCOMPARE(child<QPushButton>(child<Authentication>(&page, "authentication"), "update")->text(),
                 QStringLiteral("Service update required"));
        QCOMPARE(child<QPushButton>(child<MasterPass>(&page, "masterPass"), "update")->text(),
                 QStringLiteral("Service update required"));
    }

    // --- status pages --------------------------------------------------------

    void checkerVersion_data()
    {
        QTest::addColumn<QJsonValue>("status");
        QTest::addColumn<int>("reports");
        QTest::addColumn<bool>("newer");
        QTest::newRow("0") << QJsonValue(0) << 1 << false;
        QTest::newRow("1") << QJsonValue(1) << 1 << false;
        QTest::newRow("2") << QJsonValue(2) << 1 << true;
        QTest::newRow("3") << QJsonValue(3) << 0 << false;
        QTest::newRow("-1") << QJsonValue(-1) << 0 << false;
        QTest::newRow("text") << QJsonValue(QStringLiteral("2")) << 0 << false;
    }

    void checkerVersion()
    {
        QFETCH(QJsonValue, status);
        QFETCH(int, reports);
        QFETCH(bool, newer);
        CheckerVersion page(nullptr, ConstData::getAppName());
        QSignalSpy report(&page, &CheckerVersion::signalNewVersion);
        page.slotVersions({{QStringLiteral("status"), status},
                           {QStringLiteral("url"), "https://www.corvane.test/agent.msi"},
                           {QStringLiteral("get_version"), "4.2.0"}});
        QCOMPARE(report.count(), reports);
        if (reports)
            QCOMPARE(report.at(0).at(0).toBool(), newer);
        QCOMPARE(child<QLabel>(&page, "installText")->text(),
                 QStringLiteral("Install version 4.2.0 for new possibilities"));
        QCOMPARE(page.getDownloadUrl(), QUrl(QStringLiteral("https://www.corvane.test/agent.msi")));
        QSignalSpy remind(&page, &CheckerVersion::signalRemindLater);
        QTest::mouseClick(child<QPushButton>(&page, "remindLater"), Qt::LeftButton);
        QCOMPARE(remind.count(), 1);
    }

    void statusPages()
    {
        Alert alert(nullptr, ConstData::getAppName());
        QVERIFY(animated(&alert, "loader"));
        QVERIFY(child<QLabel>(&alert, "heading"));
        QCOMPARE(child<QLabel>(&alert, "heading")->text(), QStringLiteral("No connection"));
        FilteringStatus filtering(nullptr, ConstData::getAppName());
        QCOMPARE(child<QLabel>(&filtering, "heading")->text(),
                 QStringLiteral("The filter is off according \u2028to the dashboard settings"));
        QSignalSpy close(&filtering, &FilteringStatus::signalClose);
        QTest::mouseClick(child<QPushButton>(&filtering, "close"), Qt::LeftButton);
        QCOMPARE(close.count(), 1);
    }

    // --- helper widgets ------------------------------------------------------

    void radioFramesFormAGroup()
    {
        QWidget group;
        auto* a = new ClickableFrameRadio(&group);
        auto* b = new ClickableFrameRadio(&group);
        QWidget other;
        auto* c = new ClickableFrameRadio(&other);
        c->click();
        QSignalSpy clickedA(a, &ClickableFrame::clicked);
        QSignalSpy clickedB(b, &ClickableFrame::clicked);
        a->click();
        QVERIFY(a->isChecked());
        QCOMPARE(clickedA.count(), 1);
        b->click();
        QVERIFY(b->isChecked());
        QVERIFY(!a->isChecked());
        // Another group is untouched.
        QVERIFY(c->isChecked());
        b->click();
        QCOMPARE(clickedB.count(), 1);
        a->blockSignals(true);
        QVERIFY(a->signalsBlocked());
        a->click();
        QVERIFY(a->isChecked());
        QCOMPARE(clickedA.count(), 1);
        a->blockSignals(false);

        ClickableFrame plain;
        QSignalSpy hover(&plain, &ClickableFrame::hover);
        plain.click();
        QVERIFY(plain.isChecked());
        plain.click();
        QVERIFY(!plain.isChecked());
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(&plain, &enter);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&plain, &leave);
        QCOMPARE(hover.count(), 2);
        QCOMPARE(hover.at(0).at(0).value<ClickableFrame::EEvent>(), ClickableFrame::HOVER_ENTER);
        QCOMPARE(hover.at(1).at(0).value<ClickableFrame::EEvent>(), ClickableFrame::HOVER_LEAVE);
    }

    void clickableLabelAndLineEdit()
    {
        QWidget window;
        auto* label = new ClickableLabel(&window);
        auto* first = new ClickableLineEdit(&window);
        auto* second = new ClickableLineEdit(&window);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QSignalSpy clicked(label, &ClickableLabel::clicked);
        QSignalSpy doubleClicked(label, &ClickableLabel::doubleClicked);
        QTest::mouseClick(label, Qt::LeftButton);
        QTest::mouseDClick(label, Qt::LeftButton);
        QVERIFY(clicked.count() >= 1);
        QCOMPARE(doubleClicked.count(), 1);
        second->setFocus();
        QTRY_VERIFY(second->hasFocus());
        QSignalSpy in(first, &ClickableLineEdit::focusIn);
        QSignalSpy out(first, &ClickableLineEdit::focusOut);
        first->setFocus();
        QTRY_COMPARE(in.count(), 1);
        QCOMPARE(out.count(), 0);
        second->setFocus();
        QTRY_COMPARE(out.count(), 1);
    }

    void pagesFitTheWindow()
    {
        PersonalArea area(nullptr, ConstData::getAppName());
        QVERIFY(area.minimumSizeHint().width() <= 1145);
        QVERIFY(area.minimumSizeHint().height() <= 600);
        MasterPass pin(nullptr, ConstData::getAppName());
        pin.showCreate();
        QVERIFY(pin.minimumSizeHint().height() <= 600);
        AuthLogin login(nullptr, ConstData::getAppName());
        QVERIFY(login.minimumSizeHint().height() <= 600);
    }
};

QTEST_MAIN(TestGuiPages)
#include "tst_gui_pages.moc"
