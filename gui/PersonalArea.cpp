#include "gui/PersonalArea.h"

#include "common/ControlStatus.h"
#include "common/PayloadKeys.h"
#include "gui/ClickableFrameProtocol.h"
#include "gui/ClickableFrameWrap.h"
#include "gui/ConstData.h"
#include "gui/GuiLoggingCategories.h"
#include "gui/PageHeader.h"
#include "gui/TableWidget.h"
#include "gui/TableWidgetNetInter.h"
#include "gui/UpdateCheck.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMetaMethod>
#include <QMimeData>
#include <QMovie>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {
constexpr int userNameKeep = 12;
constexpr int planNameKeep = 8;

const QString sectionTitleStyle = QStringLiteral("font-size: 18px; color: #101828;");
const QString switchStyle =
    QStringLiteral("QCheckBox {font-size: 14px; color: #344054; spacing: 10px;}"
                   "QCheckBox::indicator {width: 44px; height: 24px;}"
                   "QCheckBox::indicator:unchecked {image: url(:/personal_area/switch/off.png);}"
                   "QCheckBox::indicator:checked {image: url(:/personal_area/switch/on.png);}");
const QString primaryButtonStyle = QStringLiteral(
    "QPushButton {background: #1C66F6; color: #FFFFFF; border: none; border-radius: 8px; font-size: 14px;"
    " padding: 0 20px;} QPushButton:hover {background: #1551C4;} QPushButton:disabled {background: "
    "#98A2B3;}");
const QString textBoxStyle = QStringLiteral(
    "QPlainTextEdit {background: #FFFFFF; border: 1px solid #E4E7EC; border-radius: 8px; padding: 8px;"
    " font-family: monospace; font-size: 12px; color: #344054;}");
// The check column of the profiles table shows the current profile with the
// same mark as the chosen protocol.
const QString checkIndicatorStyle =
    QStringLiteral("QTableWidget::indicator {width: 22px; height: 22px;}"
                   "QTableWidget::indicator:checked {image: url(:/personal_area/check.png);}"
                   "QTableWidget::indicator:unchecked {image: url(:/personal_area/check_empty.png);}");

QString networkErrorText()
{
    return QStringLiteral(
               "Oops! Something went wrong.\nPlease make sure your internet connection is stable\nor "
               "contact our technical support by ") +
           ConstData::getSupportEmail();
}

// A JSON value shown as text: strings as they are, numbers without a
// fraction, anything else as nothing.
QString textOf(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    return QString();
}
} // namespace

PersonalArea::PersonalArea(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);
    setObjectName(QStringLiteral("personalArea"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#personalArea {background: #F9FAFB;}"));
    loaderMovie = new QMovie(QStringLiteral(":/authorization/loader.gif"), QByteArray(), this);
    loaderMovie->setScaledSize(QSize(48, 48));

    QWidget* nav = buildNavigation();
    QWidget* summary = buildSummary();

    sections = new QStackedWidget(this);
    sections->setObjectName(QStringLiteral("sections"));
    sections->addWidget(buildPolicy());
    sections->addWidget(buildSystemInfo());
    sections->addWidget(buildDebug());
    sections->addWidget(buildSettings());

    // The overlay lies over the sections only: the navigation stays usable
    // while a request is pending.
    auto* sectionArea = new QWidget(this);
    auto* grid = new QGridLayout(sectionArea);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(sections, 0, 0);
    overlay = buildOverlay(sectionArea);
    grid->addWidget(overlay, 0, 0);

    auto* content = new QVBoxLayout;
    content->setContentsMargins(24, 16, 24, 16);
    content->setSpacing(14);
    content->addWidget(summary);
    resolverLine = new QLabel(this);
    resolverLine->setObjectName(QStringLiteral("resolverLine"));
    resolverLine->setTextFormat(Qt::PlainText);
    resolverLine->setWordWrap(true);
    resolverLine->setStyleSheet(
        QStringLiteral("font-size: 14px; color: #B42318; background: #FEF3F2; border: 1px solid #FECDCA; "
                       "border-radius: 8px; padding: 6px 12px;"));
    resolverLine->hide();
    content->addWidget(resolverLine);
    content->addWidget(sectionArea, 1);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    body->addWidget(nav);
    body->addLayout(content, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(pageHeader);
    layout->addLayout(body, 1);

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &PersonalArea::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &PersonalArea::signalChangeStatusLog);
    connect(this, &PersonalArea::signalNewVersion, this, &PersonalArea::slotNewVersion);
}

QWidget* PersonalArea::buildNavigation()
{
    auto* nav = new QWidget(this);
    nav->setObjectName(QStringLiteral("navigation"));
    nav->setAttribute(Qt::WA_StyledBackground, true);
    nav->setFixedWidth(236);
    nav->setStyleSheet(QStringLiteral(
        "#navigation {background: #FFFFFF; border-right: 1px solid #E4E7EC;}"
        "#navigation QPushButton {text-align: left; padding: 0 16px; border: none; border-radius: 8px;"
        " font-size: 14px; color: #344054; background: transparent;}"
        "#navigation QPushButton:hover {background: #F2F4F7;}"
        "#navigation QPushButton:checked {background: #EFF4FF; color: #1C66F6;}"));
    auto* column = new QVBoxLayout(nav);
    column->setContentsMargins(16, 20, 16, 16);
    column->setSpacing(6);

    navigation = new QButtonGroup(this);
    navigation->setExclusive(true);
    const QStringList titles{QStringLiteral("Policy"), QStringLiteral("System information"),
                             QStringLiteral("Debug"), QStringLiteral("Settings")};
    const QStringList names{QStringLiteral("navPolicy"), QStringLiteral("navSystemInfo"),
                            QStringLiteral("navDebug"), QStringLiteral("navSettings")};
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QPushButton(titles.at(i), nav);
        button->setObjectName(names.at(i));
        button->setCheckable(true);
        button->setFixedHeight(40);
        button->setCursor(Qt::PointingHandCursor);
        navigation->addButton(button, i);
        column->addWidget(button);
    }
    column->addStretch(1);

    updateButton = new QPushButton(nav);
    updateButton->setObjectName(QStringLiteral("update"));
    updateButton->setText(QStringLiteral("Check for updates"));
    updateButton->setIcon(QIcon(QStringLiteral(":/nav/update_false.png")));
    updateButton->setCheckable(true);
    updateButton->setFixedHeight(40);
    updateButton->setCursor(Qt::PointingHandCursor);
    updateCheck = new UpdateCheck(updateButton, this);
    auto* logout = new QPushButton(QStringLiteral("Log out"), nav);
    logout->setObjectName(QStringLiteral("logout"));
    logout->setFixedHeight(40);
    logout->setCursor(Qt::PointingHandCursor);
    logout->setStyleSheet(
        QStringLiteral("QPushButton {color: #D92D20;} QPushButton:hover {background: #FEF3F2;}"));
    column->addWidget(updateButton);
    column->addWidget(logout);

    connect(navigation->button(POLICY), &QPushButton::clicked, this, &PersonalArea::slotPolicy);
    connect(navigation->button(SYSTEM_INFO), &QPushButton::clicked, this,
            &PersonalArea::slotSystemInfoButton);
    connect(navigation->button(DEBUG), &QPushButton::clicked, this, &PersonalArea::slotDebugButton);
    connect(navigation->button(SETTINGS), &QPushButton::clicked, this, &PersonalArea::slotSettingsButton);
    connect(updateButton, &QPushButton::clicked, this, &PersonalArea::slotUpdate);
    connect(logout, &QPushButton::clicked, this, &PersonalArea::signalLogout);
    return nav;
}

QWidget* PersonalArea::buildSummary()
{
    auto* summary = new QWidget(this);
    summary->setObjectName(QStringLiteral("summary"));
    summary->setAttribute(Qt::WA_StyledBackground, true);
    summary->setFixedHeight(76);
    summary->setStyleSheet(
        QStringLiteral("#summary {background: #FFFFFF; border: 1px solid #E4E7EC; border-radius: 12px;}"));
    auto* row = new QHBoxLayout(summary);
    row->setContentsMargins(20, 10, 20, 10);
    row->setSpacing(28);

    auto value = [summary](const QString& name) {
        auto* label = new QLabel(summary);
        label->setObjectName(name);
        label->setStyleSheet(QStringLiteral("font-size: 15px; color: #101828;"));
        // Agent data of any length must not stretch the page.
        label->setMaximumWidth(190);
        label->setTextFormat(Qt::PlainText);
        return label;
    };
    userName = value(QStringLiteral("user"));
    ip = value(QStringLiteral("ip"));
    planName = value(QStringLiteral("plan"));
    dateEnd = value(QStringLiteral("dateEnd"));

    const QList<QPair<QString, QLabel*>> items{{QStringLiteral("Account"), userName},
                                               {QStringLiteral("Your IP adress"), ip},
                                               {QStringLiteral("Billing Plan"), planName},
                                               {QStringLiteral("Next payment"), dateEnd}};
    for (const auto& item : items) {
        auto* column = new QVBoxLayout;
        column->setSpacing(4);
        auto* caption = new QLabel(item.first, summary);
        caption->setStyleSheet(QStringLiteral("font-size: 12px; color: #667085;"));
        column->addWidget(caption);
        column->addWidget(item.second);
        row->addLayout(column);
        if (item.second == dateEnd) {
            dateCaption = caption;
            dateCaption->setObjectName(QStringLiteral("dateCaption"));
            dateCaption->hide();
        }
    }
    row->addStretch(1);

    protection = new QCheckBox(QStringLiteral("Filtering disabled"), summary);
    protection->setObjectName(QStringLiteral("protection"));
    protection->setStyleSheet(switchStyle);
    protection->setCursor(Qt::PointingHandCursor);
    protection->hide();
    row->addWidget(protection);
    // Both a program-made toggle and a user's click reach the slot; it sends
    // only for the click.
    connect(protection, &QCheckBox::toggled, this, &PersonalArea::slotChangeFilteringStatus);
    connect(protection, &QCheckBox::clicked, this, &PersonalArea::slotChangeFilteringStatus);
    return summary;
}

QWidget* PersonalArea::buildPolicy()
{
    auto* page = new QWidget(this);
    policyWrap = new ClickableFrameWrap(page);
    policyWrap->setObjectName(QStringLiteral("policyWrap"));
    profiles = new TableWidget(page);
    profiles->setObjectName(QStringLiteral("profiles"));
    profiles->setColumnCount(3);
    profiles->setHorizontalHeaderLabels(
        {QStringLiteral("ID"), QStringLiteral("Current"), QStringLiteral("Profile")});
    profiles->horizontalHeader()->setStretchLastSection(true);
    profiles->setStyleSheet(profiles->styleSheet() + checkIndicatorStyle);
    policyWrap->setProperties(QStringLiteral("Policy"), profiles);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(policyWrap);
    layout->addWidget(profiles, 1);
    layout->addStretch(0);
    connect(profiles, &QTableWidget::cellClicked, this, [this](int row, int) { slotProfileClicked(row); });
    return page;
}

QWidget* PersonalArea::buildSystemInfo()
{
    auto* page = new QWidget(this);
    auto* title = new QLabel(QStringLiteral("System information"), page);
    title->setStyleSheet(sectionTitleStyle);
    systemInfo = new QPlainTextEdit(page);
    systemInfo->setObjectName(QStringLiteral("systemInfo"));
    systemInfo->setReadOnly(true);
    systemInfo->setStyleSheet(textBoxStyle);
    auto* copy = new QPushButton(QStringLiteral("Copy"), page);
    copy->setObjectName(QStringLiteral("copy"));
    copy->setFixedHeight(40);
    copy->setStyleSheet(primaryButtonStyle);
    copy->setCursor(Qt::PointingHandCursor);
    auto* top = new QHBoxLayout;
    top->addWidget(title);
    top->addStretch(1);
    top->addWidget(copy);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addLayout(top);
    layout->addWidget(systemInfo, 1);
    connect(copy, &QPushButton::clicked, this, &PersonalArea::slotCopy);
    return page;
}

QWidget* PersonalArea::buildDebug()
{
    auto* page = new QWidget(this);
    auto* title = new QLabel(QStringLiteral("Agent debug and analyzing tool"), page);
    title->setStyleSheet(sectionTitleStyle);
    debug = new QPlainTextEdit(page);
    debug->setObjectName(QStringLiteral("debug"));
    debug->setReadOnly(true);
    debug->setStyleSheet(textBoxStyle);
    auto* send = new QPushButton(QStringLiteral("Send report"), page);
    send->setObjectName(QStringLiteral("sendReport"));
    send->setFixedHeight(40);
    send->setStyleSheet(primaryButtonStyle);
    send->setCursor(Qt::PointingHandCursor);
    enableLogging = new QCheckBox(QStringLiteral("Enable logging"), page);
    enableLogging->setObjectName(QStringLiteral("enableLogging"));
    enableLogging->setStyleSheet(switchStyle);
    enableLogging->setCursor(Qt::PointingHandCursor);
    auto* top = new QHBoxLayout;
    top->addWidget(title);
    top->addStretch(1);
    top->addWidget(enableLogging);
    top->addSpacing(16);
    top->addWidget(send);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addLayout(top);
    layout->addWidget(debug, 1);
    connect(send, &QPushButton::clicked, this, &PersonalArea::signalSendDebugInfo);
    // The switch follows the agent: it changes when "STATUSLOG" comes back.
    connect(enableLogging, &QCheckBox::clicked, this, [this](bool checked) {
        const QSignalBlocker blocker(enableLogging);
        enableLogging->setChecked(!checked);
        emit signalChangeStatusLog();
    });
    return page;
}

QWidget* PersonalArea::buildSettings()
{
    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("settingsTabs"));
    tabs->setStyleSheet(QStringLiteral(
        "QTabWidget::pane {border: none;}"
        "QTabBar::tab {padding: 8px 18px; font-size: 14px; color: #667085; background: transparent;"
        " border: none; border-bottom: 2px solid transparent;}"
        "QTabBar::tab:selected {color: #1C66F6; border-bottom: 2px solid #1C66F6;}"));

    auto* protocolPage = new QWidget(tabs);
    protocolPage->setObjectName(QStringLiteral("protocols"));
    auto* protocolLayout = new QVBoxLayout(protocolPage);
    protocolLayout->setContentsMargins(0, 12, 0, 0);
    protocolLayout->setSpacing(10);
    const QList<QPair<QString, QString>> choices{
        {QStringLiteral("DNS"),
         QStringLiteral(
             "DNS is a hierarchical, distributed system that provides a naming service for computers, "
             "services, and resources on the Internet or IP networks.")},
        {QStringLiteral("DOH"),
         QStringLiteral("DNS over HTTPS (DoH) is a protocol for performing remote Domain Name System (DNS) "
                        "resolution via the HTTPS protocol.")},
        {QStringLiteral("DOT"),
         QStringLiteral(
             "DNS over TLS (DoT) is a network protocol security measure designed to provide privacy "
             "and data integrity in communication between web browsers and DNS resolvers.")}};
    for (int i = 0; i < choices.size(); ++i) {
        auto* frame = new ClickableFrameProtocol(protocolPage);
        frame->setObjectName(QStringLiteral("protocol") + choices.at(i).first);
        frame->setProperties(choices.at(i).first, choices.at(i).second);
        protocols.append(frame);
        protocolLayout->addWidget(frame);
        connect(frame, &ClickableFrame::clicked, this, &PersonalArea::slotChangeDnsProtocol);
    }
    protocolLayout->addStretch(1);
    tabs->addTab(protocolPage, QStringLiteral("Protocols"));

    auto* interfacePage = new QWidget(tabs);
    auto* interfaceLayout = new QVBoxLayout(interfacePage);
    interfaceLayout->setContentsMargins(0, 12, 0, 0);
    interfaces = new TableWidgetNetInter(interfacePage);
    interfaces->setObjectName(QStringLiteral("interfaces"));
    interfaces->setStyleSheet(
        interfaces->styleSheet() +
        QStringLiteral("QTableWidget::indicator {width: 44px; height: 24px;}"
                       "QTableWidget::indicator:checked {image: url(:/personal_area/switch/on.png);}"
                       "QTableWidget::indicator:unchecked {image: url(:/personal_area/switch/off.png);}"));
    interfaces->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    interfaces->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Fixed);
    interfaces->setColumnWidth(2, 62);
    interfaceLayout->addWidget(interfaces);
    tabs->addTab(interfacePage, QStringLiteral("Net interfaces"));

    connect(interfaces, &QTableWidget::cellClicked, this,
            [this](int row, int) { slotNetInterfaceClicked(row); });
    return tabs;
}

QWidget* PersonalArea::buildOverlay(QWidget* parent)
{
    auto* cover = new QWidget(parent);
    cover->setObjectName(QStringLiteral("overlay"));
    cover->setAttribute(Qt::WA_StyledBackground, true);
    cover->setStyleSheet(
        QStringLiteral("#overlay {background: rgba(249, 250, 251, 235); border-radius: 12px;}"));
    overlayAnimation = new QLabel(cover);
    overlayAnimation->setObjectName(QStringLiteral("overlayAnimation"));
    overlayAnimation->setAlignment(Qt::AlignCenter);
    overlayAnimation->setMovie(loaderMovie);
    overlayText = new QLabel(cover);
    overlayText->setObjectName(QStringLiteral("overlayText"));
    overlayText->setAlignment(Qt::AlignCenter);
    overlayText->setWordWrap(true);
    overlayText->setStyleSheet(QStringLiteral("font-size: 15px; color: #344054;"));
    auto* layout = new QVBoxLayout(cover);
    layout->addStretch(1);
    layout->addWidget(overlayAnimation);
    layout->addWidget(overlayText);
    layout->addStretch(1);
    cover->hide();
    return cover;
}

// --- overlay -----------------------------------------------------------------

void PersonalArea::showLoading(const QString& text)
{
    overlayText->setText(text);
    overlayAnimation->show();
    loaderMovie->start();
    overlay->show();
    overlay->raise();
}

void PersonalArea::hideLoading()
{
    loaderMovie->stop();
    overlay->hide();
}

void PersonalArea::warningLoading(const QString& text)
{
    overlayText->setText(text);
    loaderMovie->stop();
    overlayAnimation->hide();
    overlay->show();
    overlay->raise();
}

// --- user actions ------------------------------------------------------------

void PersonalArea::showSection(Section section)
{
    if (QAbstractButton* button = navigation->button(section))
        button->setChecked(true);
    sections->setCurrentIndex(section);
}

void PersonalArea::slotShow()
{
    slotPolicy();
}

void PersonalArea::slotPolicy()
{
    showSection(POLICY);
    showLoading(
        QStringLiteral("The list of profiles is being collected.\nIt will take less than one minute."));
    emit signalGetProfiles();
}

void PersonalArea::slotSystemInfoButton()
{
    showSection(SYSTEM_INFO);
    showLoading(QStringLiteral("System information is being collected.\nIt will take less than one minute."));
    emit signalGetSystemInfo();
}

void PersonalArea::slotDebugButton()
{
    showSection(DEBUG);
    showLoading(QStringLiteral("Debug information is collected.\nIt will take less than one minute."));
    emit signalGetDebug();
}

void PersonalArea::slotSettingsButton()
{
    qCDebug(GuiLog::personalArea) << "slotSettingsButton";
    showSection(SETTINGS);
    // The settings come without a wait; a notice of another section must not
    // cover them.
    hideLoading();
    emit signalGetSettings();
}

void PersonalArea::slotCopy()
{
    auto* data = new QMimeData;
    data->setText(systemInfo->toPlainText());
    QApplication::clipboard()->setMimeData(data);
}

void PersonalArea::slotUpdate()
{
    updateCheck->slotStart();
    emit signalGetUpdate();
}

void PersonalArea::slotProfileClicked(int row)
{
    if (!overlay->isHidden()) {
        qCDebug(GuiLog::personalArea) << "slotProfileClicked row" << row << "ignored: a request is pending";
        return;
    }
    qCDebug(GuiLog::personalArea) << "slotProfileClicked row" << row;
    const QTableWidgetItem* idItem = profiles->item(row, 0);
    if (!idItem)
        return;
    bool ok = false;
    const int id = idItem->text().toInt(&ok);
    if (!ok) {
        qCWarning(GuiLog::personalArea) << "Profile without a usable id in row" << row;
        return;
    }
    showLoading(QStringLiteral("Profile switching in progress.\nIt will take less than one minute."));
    emit signalSetProfileId(QJsonObject{{PayloadKeys::ProfileId, id}});
}

void PersonalArea::slotNetInterfaceClicked(int row)
{
    if (!overlay->isHidden())
        return;
    const QTableWidgetItem* guid = interfaces->item(row, 0);
    QTableWidgetItem* box = interfaces->item(row, 2);
    if (!guid || !box)
        return;
    // A click anywhere on the row flips the interface's protection.
    box->setCheckState(box->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    emit signalChangeNetInterface(QJsonObject{{PayloadKeys::Guid, guid->text()},
                                              {PayloadKeys::Status, box->checkState() == Qt::Checked}});
}

void PersonalArea::slotChangeDnsProtocol()
{
    auto* frame = qobject_cast<ClickableFrameProtocol*>(sender());
    const int number = protocols.indexOf(frame);
    if (number < 0)
        return;
    const QJsonObject data{{PayloadKeys::DnsProtocol, number}};
    qCDebug(GuiLog::personalArea) << "slotChangeDnsProtocol" << data << frame->objectName();
    emit signalChangeDnsProtocol(data);
}

void PersonalArea::slotChangeFilteringStatus(bool checked)
{
    protection->setText(checked ? QStringLiteral("Filtering enabled") : QStringLiteral("Filtering disabled"));
    // Only the user's click is sent; a toggle made from an agent message
    // would echo the agent's own state back to it.
    if (sender() != protection)
        return;
    const QMetaMethod signal = protection->metaObject()->method(senderSignalIndex());
    if (signal.name() != QByteArrayLiteral("clicked"))
        return;
    emit signalFilteringStatus(QJsonObject{
        {PayloadKeys::Status, checked ? ControlStatus::filteringOn : ControlStatus::filteringOff}});
}

// --- agent messages ----------------------------------------------------------

QString PersonalArea::cutText(const QString& text, int keep)
{
    if (text.size() <= keep)
        return text;
    return text.left(keep) + QChar(0x2026);
}

bool PersonalArea::formatDate(const QString& value, QString* shown)
{
    const QStringList parts = value.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (parts.size() != 3)
        return false;
    static const char* const months[] = {" Jan. ", " Feb. ", " Mar. ",  " Apr. ", " May ",  " June ",
                                         " July ", " Aug. ", " Sept. ", " Oct. ", " Nov. ", " Dec. "};
    bool ok = false;
    const int month = parts.at(1).toInt(&ok);
    const QString name = ok && month >= 1 && month <= 12 ? QString::fromLatin1(months[month - 1]) : QString();
    *shown = parts.at(0) + name + parts.at(2);
    return true;
}

QString PersonalArea::formatDebug(const QString& json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return QString();
    QString text;
    const QJsonArray entries = document.array();
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        text += QStringLiteral("--- ") + textOf(entry.value(PayloadKeys::LogName)).toUpper() +
                QStringLiteral("---\n") + textOf(entry.value(PayloadKeys::LogMessage)) +
                QStringLiteral("\n\n");
    }
    return text;
}

void PersonalArea::slotUserInfo(QJsonObject data)
{
    const QString name = textOf(data.value(PayloadKeys::Username));
    userName->setText(cutText(name, userNameKeep));
    userName->setToolTip(name.size() > userNameKeep ? name : QString());
    // An IPv6 address is wider than its column: shown elided in the middle,
    // whole in the tool tip.
    const QString address = textOf(data.value(PayloadKeys::Ip));
    ip->ensurePolished();
    ip->setText(ip->fontMetrics().elidedText(address, Qt::ElideMiddle, ip->maximumWidth()));
    ip->setToolTip(address);
    const QString plan = textOf(data.value(PayloadKeys::PlanName));
    planName->setText(cutText(plan, planNameKeep));
    planName->setToolTip(plan.size() > planNameKeep ? plan : QString());

    const QString date = textOf(data.value(PayloadKeys::DateEnd));
    if (date.isEmpty()) {
        dateEnd->clear();
        dateCaption->hide();
    } else {
        QString shown;
        if (formatDate(date, &shown)) {
            dateEnd->setText(shown);
            dateCaption->show();
        }
    }
    qCDebug(GuiLog::personalArea) << "slotUserInfo" << userName->text() << ip->text() << planName->text()
                                  << dateEnd->text();
}

void PersonalArea::slotFilteringStatus(QJsonObject data)
{
    const QJsonValue value = data.value(PayloadKeys::Status);
    const bool on = value.isBool() ? value.toBool() : value.toInt() != ControlStatus::filteringOff;
    protection->setChecked(on);
    protection->setText(on ? QStringLiteral("Filtering enabled") : QStringLiteral("Filtering disabled"));
    protection->show();
    qCDebug(GuiLog::personalArea) << "slotFilteringStatus" << (on ? "on" : "off");
}

void PersonalArea::slotProfiles(QJsonObject data)
{
    const QJsonArray list = data.value(PayloadKeys::Profiles).toArray();
    profiles->setRowCount(0);
    if (list.isEmpty()) {
        qCWarning(GuiLog::personalArea) << "slotProfiles: no profiles";
        warningLoading(networkErrorText());
        return;
    }
    for (const QJsonValue& value : list) {
        const QJsonObject entry = value.toObject();
        const int row = profiles->rowCount();
        profiles->insertRow(row);
        profiles->setItem(row, 0, new QTableWidgetItem(textOf(entry.value(PayloadKeys::Id))));
        auto* box = new QTableWidgetItem;
        // The mark follows the agent; a click on the row asks for the switch.
        box->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        box->setCheckState(Qt::Unchecked);
        profiles->setItem(row, 1, box);
        const QString name = textOf(entry.value(PayloadKeys::Name)).toUpper();
        auto* nameItem = new QTableWidgetItem(name);
        nameItem->setToolTip(name);
        profiles->setItem(row, 2, nameItem);
    }
    profiles->resizeColumnToContents(0);
    profiles->resizeColumnToContents(1);
    profiles->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    qCDebug(GuiLog::personalArea) << "slotProfiles" << profiles->rowCount();
    emit signalGetProfileId();
}

void PersonalArea::slotProfileId(QJsonObject data)
{
    const QString id = textOf(data.value(PayloadKeys::ProfileId));
    QString current;
    for (int row = 0; row < profiles->rowCount(); ++row) {
        const QTableWidgetItem* idItem = profiles->item(row, 0);
        QTableWidgetItem* box = profiles->item(row, 1);
        if (!idItem || !box)
            continue;
        const bool match = !id.isEmpty() && idItem->text() == id;
        box->setCheckState(match ? Qt::Checked : Qt::Unchecked);
        if (match)
            current = id;
    }
    qCDebug(GuiLog::personalArea) << "slotProfileId checked"
                                  << (current.isEmpty() ? QStringLiteral("none") : current);
    hideLoading();
}

void PersonalArea::slotSystemInfo(QJsonObject data)
{
    systemInfo->setPlainText(textOf(data.value(PayloadKeys::SystemInfo)));
    hideLoading();
}

void PersonalArea::slotDebug(QJsonObject data)
{
    const QString text = formatDebug(textOf(data.value(PayloadKeys::Debug)));
    if (text.isEmpty())
        qCWarning(GuiLog::personalArea) << "slotDebug: no usable report";
    debug->setPlainText(text);
    hideLoading();
}

void PersonalArea::slotNetInterfaces(QJsonObject data)
{
    qCDebug(GuiLog::personalArea) << "slotNetInterfaces";
    interfaces->setRowCount(0);
    const QJsonArray list = data.value(PayloadKeys::Interfaces).toArray();
    for (const QJsonValue& value : list) {
        const QJsonObject entry = value.toObject();
        const QJsonValue status = entry.value(PayloadKeys::Status);
        interfaces->addInTable(textOf(entry.value(PayloadKeys::Name)), textOf(entry.value(PayloadKeys::Guid)),
                               status.isBool() ? status.toBool() : status.toInt() != 0);
    }
}

void PersonalArea::slotDnsProtocol(QJsonObject data)
{
    const QJsonValue value = data.value(PayloadKeys::DnsProtocol);
    const int number = value.toInt(-1);
    if (number < 0 || number >= protocols.size()) {
        qCWarning(GuiLog::personalArea) << "slotDnsProtocol: unknown protocol" << value;
        return;
    }
    ClickableFrameProtocol* frame = protocols.at(number);
    frame->blockSignals(true);
    frame->click();
    frame->blockSignals(false);
    qCDebug(GuiLog::personalArea) << "slotDnsProtocol" << frame->getName();
}

void PersonalArea::slotNewVersion(bool status)
{
    updateCheck->slotFinish(status);
}

void PersonalArea::slotStatusLog(bool status)
{
    pageHeader->setStatusLog(status);
    enableLogging->setChecked(status);
}

void PersonalArea::slotStatusAd(bool status)
{
    pageHeader->setStatusAd(status);
}

// --- state for the tests and scripts -----------------------------------------

QString PersonalArea::resolverStatusText(const ResolverStatus& status)
{
    switch (status.state) {
    case ResolverStatus::State::FailOpen:
        return QStringLiteral("Not filtered: the filtering service cannot be reached");
    case ResolverStatus::State::FailClosed:
        return QStringLiteral("No internet: the filtering service cannot be reached");
    case ResolverStatus::State::PlainDns:
        return QStringLiteral("Filtered over plain DNS: the encrypted connection is blocked");
    case ResolverStatus::State::PortTaken:
        return status.detail.isEmpty()
                   ? QStringLiteral("Not filtered: another program holds the DNS port")
                   : QStringLiteral("Not filtered: another program holds the DNS port (%1)")
                         .arg(status.detail);
    case ResolverStatus::State::Starting:
    case ResolverStatus::State::Filtered:
        break;
    }
    return QString();
}

void PersonalArea::setResolverText(const QString& text)
{
    resolverLine->setText(text);
    resolverLine->setVisible(!text.isEmpty());
}
