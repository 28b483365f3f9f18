#include "PersonalArea.h"

#include "ConstData.h"
#include "GuiLoggingCategories.h"
#include "PageHeader.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
QLabel* valueLabel(QWidget* parent, const QString& name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setStyleSheet(QStringLiteral("font-size: 15px; color: #101828;"));
    return label;
}

QTableWidget* table(QWidget* parent, const QStringList& headers)
{
    auto* widget = new QTableWidget(0, headers.size(), parent);
    widget->setHorizontalHeaderLabels(headers);
    widget->verticalHeader()->hide();
    widget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    widget->setSelectionBehavior(QAbstractItemView::SelectRows);
    widget->setSelectionMode(QAbstractItemView::SingleSelection);
    return widget;
}
} // namespace

PersonalArea::PersonalArea(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this)),
      userName(valueLabel(this, QStringLiteral("user"))), ip(valueLabel(this, QStringLiteral("ip"))),
      planName(valueLabel(this, QStringLiteral("plan"))),
      dateEnd(valueLabel(this, QStringLiteral("dateEnd"))), protection(new QCheckBox(this)),
      navigation(new QButtonGroup(this)), sections(new QStackedWidget(this)),
      updateButton(new QPushButton(this)), notice(new QLabel(this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);
    setObjectName(QStringLiteral("personalArea"));
    setStyleSheet(QStringLiteral("#personalArea {background: #F9FAFB;}"));

    // Navigation column.
    auto* nav = new QVBoxLayout;
    nav->setContentsMargins(24, 16, 8, 16);
    const QStringList titles{QStringLiteral("Policy"), QStringLiteral("System information"),
                             QStringLiteral("Debug"), QStringLiteral("Settings")};
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QPushButton(titles.at(i), this);
        button->setCheckable(true);
        button->setMinimumSize(200, 40);
        navigation->addButton(button, i);
        nav->addWidget(button);
    }
    nav->addStretch(1);
    updateButton->setObjectName(QStringLiteral("update"));
    updateButton->setText(QStringLiteral("Check for updates"));
    updateButton->setIcon(QIcon(QStringLiteral(":/nav/update_false.png")));
    updateButton->setCheckable(true);
    auto* logout = new QPushButton(QStringLiteral("Log out"), this);
    logout->setObjectName(QStringLiteral("logout"));
    nav->addWidget(updateButton);
    nav->addWidget(logout);

    // Account summary and the protection switch.
    auto* summary = new QHBoxLayout;
    const QList<QPair<QString, QLabel*>> items{{QStringLiteral("Account"), userName},
                                               {QStringLiteral("Your IP adress"), ip},
                                               {QStringLiteral("Billing Plan"), planName},
                                               {QStringLiteral("Next payment"), dateEnd}};
    for (const auto& item : items) {
        auto* column = new QVBoxLayout;
        auto* caption = new QLabel(item.first, this);
        caption->setStyleSheet(QStringLiteral("font-size: 12px; color: #667085;"));
        column->addWidget(caption);
        column->addWidget(item.second);
        summary->addLayout(column);
    }
    protection->setObjectName(QStringLiteral("protection"));
    protection->setText(QStringLiteral("Filtering disabled"));
    protection->hide();
    summary->addStretch(1);
    summary->addWidget(protection);

    sections->addWidget(buildPolicy());
    sections->addWidget(buildSystemInfo());
    sections->addWidget(buildDebug());
    sections->addWidget(buildSettings());

    notice->setObjectName(QStringLiteral("notice"));
    notice->setWordWrap(true);
    notice->setStyleSheet(QStringLiteral("color: #667085;"));
    notice->hide();

    auto* content = new QVBoxLayout;
    content->setContentsMargins(8, 16, 24, 16);
    content->addLayout(summary);
    content->addWidget(notice);
    content->addWidget(sections, 1);

    auto* body = new QHBoxLayout;
    body->addLayout(nav);
    body->addLayout(content, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(pageHeader);
    layout->addLayout(body, 1);

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &PersonalArea::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &PersonalArea::signalChangeStatusLog);
    connect(logout, &QPushButton::clicked, this, &PersonalArea::signalLogout);
    connect(updateButton, &QPushButton::clicked, this, [this] {
        updateButton->setChecked(true);
        emit signalGetUpdate();
    });
    connect(this, &PersonalArea::signalNewVersion, this, &PersonalArea::slotNewVersion);
    connect(navigation, &QButtonGroup::idClicked, this,
            [this](int id) { showSection(static_cast<Section>(id)); });
    // Only a click by the user reports the switch; a change made from an
    // agent message does not echo back.
    connect(protection, &QCheckBox::clicked, this, [this](bool checked) {
        protection->setText(checked ? QStringLiteral("Filtering enabled")
                                    : QStringLiteral("Filtering disabled"));
        emit signalFilteringStatus(QJsonObject{{QStringLiteral("status"), checked ? 1 : 0}});
    });
}

QWidget* PersonalArea::buildPolicy()
{
    auto* page = new QWidget(this);
    auto* title = new QLabel(QStringLiteral("Policy"), page);
    title->setStyleSheet(QStringLiteral("font-size: 18px; color: #101828;"));
    profiles = table(page, {QStringLiteral("Id"), QStringLiteral("Current"), QStringLiteral("Profile")});
    profiles->setObjectName(QStringLiteral("profiles"));
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(title);
    layout->addWidget(profiles, 1);
    connect(profiles, &QTableWidget::cellClicked, this, [this](int row, int) {
        if (!notice->isHidden())
            return;
        const QTableWidgetItem* idItem = profiles->item(row, 0);
        if (!idItem)
            return;
        notice->setText(QStringLiteral("Profile switching in progress.\nIt will take less than one minute."));
        notice->show();
        emit signalSetProfileId(QJsonObject{{QStringLiteral("profile_id"), idItem->text().toInt()}});
    });
    return page;
}

QWidget* PersonalArea::buildSystemInfo()
{
    auto* page = new QWidget(this);
    systemInfo = new QPlainTextEdit(page);
    systemInfo->setObjectName(QStringLiteral("systemInfo"));
    systemInfo->setReadOnly(true);
    auto* copy = new QPushButton(QStringLiteral("Copy"), page);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(systemInfo, 1);
    layout->addWidget(copy, 0, Qt::AlignRight);
    connect(copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(systemInfo->toPlainText()); });
    return page;
}

QWidget* PersonalArea::buildDebug()
{
    auto* page = new QWidget(this);
    auto* title = new QLabel(QStringLiteral("Agent debug and analyzing tool"), page);
    title->setStyleSheet(QStringLiteral("font-size: 18px; color: #101828;"));
    debug = new QPlainTextEdit(page);
    debug->setObjectName(QStringLiteral("debug"));
    debug->setReadOnly(true);
    auto* send = new QPushButton(QStringLiteral("Send report"), page);
    enableLogging = new QCheckBox(QStringLiteral("Enable logging"), page);
    enableLogging->setObjectName(QStringLiteral("enableLogging"));
    auto* row = new QHBoxLayout;
    row->addWidget(enableLogging);
    row->addStretch(1);
    row->addWidget(send);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(title);
    layout->addWidget(debug, 1);
    layout->addLayout(row);
    connect(send, &QPushButton::clicked, this, &PersonalArea::signalSendDebugInfo);
    connect(enableLogging, &QCheckBox::clicked, this, &PersonalArea::signalChangeStatusLog);
    return page;
}

QWidget* PersonalArea::buildSettings()
{
    auto* tabs = new QTabWidget(this);
    auto* protocolPage = new QWidget(tabs);
    protocols = new QButtonGroup(this);
    auto* protocolLayout = new QVBoxLayout(protocolPage);
    const QStringList names{QStringLiteral("DNS"), QStringLiteral("DOH"), QStringLiteral("DOT")};
    for (int i = 0; i < names.size(); ++i) {
        auto* choice = new QRadioButton(names.at(i), protocolPage);
        protocols->addButton(choice, i);
        protocolLayout->addWidget(choice);
    }
    protocolLayout->addStretch(1);
    tabs->addTab(protocolPage, QStringLiteral("Protocols"));

    interfaces = table(tabs, {QStringLiteral("GUID"), QStringLiteral("Name"), QStringLiteral("Protected")});
    interfaces->setObjectName(QStringLiteral("interfaces"));
    interfaces->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    interfaces->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Fixed);
    interfaces->setColumnWidth(2, 62);
    tabs->addTab(interfaces, QStringLiteral("Net interfaces"));

    connect(protocols, &QButtonGroup::idClicked, this, [this](int id) {
        const QJsonObject data{{QStringLiteral("dns_protocol"), id}};
        qCDebug(GuiLog::personalArea) << "slotChangeDnsProtocol" << data << id;
        emit signalChangeDnsProtocol(data);
    });
    connect(interfaces, &QTableWidget::cellClicked, this, [this](int row, int) {
        if (!notice->isHidden())
            return;
        const QTableWidgetItem* guid = interfaces->item(row, 0);
        const QTableWidgetItem* box = interfaces->item(row, 2);
        if (!guid || !box)
            return;
        emit signalChangeNetInterface(
            QJsonObject{{QStringLiteral("guid"), guid->text()},
                        {QStringLiteral("status"), box->checkState() == Qt::Checked}});
    });
    return tabs;
}

void PersonalArea::showSection(Section section)
{
    if (QAbstractButton* button = navigation->button(section))
        button->setChecked(true);
    sections->setCurrentIndex(section);
    switch (section) {
    case POLICY:
        notice->setText(
            QStringLiteral("The list of profiles is being collected.\nIt will take less than one minute."));
        notice->show();
        emit signalGetProfiles();
        break;
    case SYSTEM_INFO:
        notice->setText(
            QStringLiteral("System information is being collected.\nIt will take less than one minute."));
        notice->show();
        emit signalGetSystemInfo();
        break;
    case DEBUG:
        notice->setText(
            QStringLiteral("Debug information is collected.\nIt will take less than one minute."));
        notice->show();
        emit signalGetDebug();
        break;
    case SETTINGS:
        notice->hide();
        emit signalGetSettings();
        break;
    }
}

int PersonalArea::getSection() const
{
    return sections->currentIndex();
}

void PersonalArea::slotShow()
{
    showSection(POLICY);
}

void PersonalArea::slotUserInfo(QJsonObject data)
{
    userName->setText(data.value(QStringLiteral("username")).toString());
    ip->setText(data.value(QStringLiteral("ip")).toString());
    planName->setText(data.value(QStringLiteral("plan_name")).toString());
    dateEnd->setText(data.value(QStringLiteral("date_end")).toString());
}

void PersonalArea::slotFilteringStatus(QJsonObject data)
{
    const bool on = data.value(QStringLiteral("status")).toInt() != 0;
    protection->setChecked(on);
    protection->setText(on ? QStringLiteral("Filtering enabled") : QStringLiteral("Filtering disabled"));
    protection->show();
}

void PersonalArea::slotProfiles(QJsonObject data)
{
    const QJsonArray list = data.value(QStringLiteral("profiles")).toArray();
    profiles->setRowCount(0);
    if (list.isEmpty()) {
        notice->setText(
            QStringLiteral("Oops! Something went wrong.\nPlease make sure your internet connection is "
                           "stable\nor contact our technical support by ") +
            ConstData::getSupportEmail());
        notice->show();
        return;
    }
    for (const QJsonValue& value : list) {
        const QJsonObject entry = value.toObject();
        const int row = profiles->rowCount();
        profiles->insertRow(row);
        profiles->setItem(row, 0,
                          new QTableWidgetItem(entry.value(QStringLiteral("id")).toVariant().toString()));
        auto* box = new QTableWidgetItem;
        box->setCheckState(Qt::Unchecked);
        profiles->setItem(row, 1, box);
        profiles->setItem(row, 2,
                          new QTableWidgetItem(entry.value(QStringLiteral("name")).toString().toUpper()));
    }
    profiles->resizeColumnsToContents();
    emit signalGetProfileId();
}

void PersonalArea::slotProfileId(QJsonObject data)
{
    const QString id = data.value(QStringLiteral("profile_id")).toVariant().toString();
    for (int row = 0; row < profiles->rowCount(); ++row) {
        const QTableWidgetItem* idItem = profiles->item(row, 0);
        QTableWidgetItem* box = profiles->item(row, 1);
        if (idItem && box)
            box->setCheckState(idItem->text() == id ? Qt::Checked : Qt::Unchecked);
    }
    notice->hide();
}

void PersonalArea::slotSystemInfo(QJsonObject data)
{
    systemInfo->setPlainText(data.value(QStringLiteral("system_info")).toString());
    notice->hide();
}

void PersonalArea::slotDebug(QJsonObject data)
{
    debug->setPlainText(data.value(QStringLiteral("debug")).toString());
    notice->hide();
}

void PersonalArea::slotNetInterfaces(QJsonObject data)
{
    qCDebug(GuiLog::personalArea) << "slotNetInterfaces";
    interfaces->setRowCount(0);
    const QJsonArray list = data.value(QStringLiteral("interfaces")).toArray();
    for (const QJsonValue& value : list) {
        const QJsonObject entry = value.toObject();
        const int row = interfaces->rowCount();
        interfaces->insertRow(row);
        interfaces->setItem(row, 0, new QTableWidgetItem(entry.value(QStringLiteral("guid")).toString()));
        interfaces->setItem(row, 1, new QTableWidgetItem(entry.value(QStringLiteral("name")).toString()));
        auto* box = new QTableWidgetItem;
        box->setCheckState(entry.value(QStringLiteral("status")).toBool() ? Qt::Checked : Qt::Unchecked);
        interfaces->setItem(row, 2, box);
    }
}

void PersonalArea::slotDnsProtocol(QJsonObject data)
{
    const int id = data.value(QStringLiteral("dns_protocol")).toInt(-1);
    QAbstractButton* choice = protocols->button(id);
    if (!choice)
        return;
    const QSignalBlocker blocker(protocols);
    choice->setChecked(true);
}

void PersonalArea::slotNewVersion(bool status)
{
    updateButton->setChecked(false);
    updateButton->setIcon(
        QIcon(status ? QStringLiteral(":/nav/update_true.png") : QStringLiteral(":/nav/update_false.png")));
    updateButton->setText(status ? QStringLiteral("Service update required")
                                 : QStringLiteral("Latest version"));
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

QString PersonalArea::getUserName() const
{
    return userName->text();
}

QString PersonalArea::getIp() const
{
    return ip->text();
}

QString PersonalArea::getPlanName() const
{
    return planName->text();
}

QString PersonalArea::getDateEnd() const
{
    return dateEnd->text();
}

QString PersonalArea::getSystemInfo() const
{
    return systemInfo->toPlainText();
}

QString PersonalArea::getDebug() const
{
    return debug->toPlainText();
}

bool PersonalArea::isFilteringOn() const
{
    return protection->isChecked();
}

int PersonalArea::getDnsProtocol() const
{
    return protocols->checkedId();
}

bool PersonalArea::isStatusLogOn() const
{
    return enableLogging->isChecked();
}
