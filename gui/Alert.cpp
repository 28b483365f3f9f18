#include "gui/Alert.h"

#include "gui/GuiLoggingCategories.h"
#include "gui/PageHeader.h"

#include <QLabel>
#include <QMovie>
#include <QVBoxLayout>

Alert::Alert(QWidget* parent, const QString& appName)
    : QWidget(parent), pageHeader(new PageHeader(appName, this)), heading(new QLabel(this)),
      text(new QLabel(this)), loader(new QLabel(this)),
      movie(new QMovie(QStringLiteral(":/authorization/loader.gif"), QByteArray(), this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowTitle(appName);
    setObjectName(QStringLiteral("alert"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#alert {background: #F9FAFB;}"));

    auto* image = new QLabel(this);
    image->setPixmap(QPixmap(QStringLiteral(":/alert/no_internet/logo.png")));
    image->setAlignment(Qt::AlignCenter);

    heading->setObjectName(QStringLiteral("heading"));
    heading->setAlignment(Qt::AlignCenter);
    heading->setStyleSheet(QStringLiteral("font-size: 26px; color: #101828;"));

    text->setObjectName(QStringLiteral("text"));
    text->setAlignment(Qt::AlignCenter);
    text->setWordWrap(true);
    text->setStyleSheet(QStringLiteral("font-size: 16px; color: #667085;"));

    loader->setObjectName(QStringLiteral("loader"));
    loader->setAlignment(Qt::AlignCenter);
    if (movie->isValid()) {
        movie->setScaledSize(QSize(63, 63));
        loader->setMovie(movie);
        movie->start();
    } else {
        qCWarning(GuiLog::alert) << "GIF not valid!";
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    layout->addWidget(pageHeader);
    layout->addStretch(1);
    layout->addWidget(image);
    layout->addWidget(heading);
    layout->addWidget(text);
    layout->addWidget(loader);
    layout->addStretch(2);

    slotWaiting();

    connect(pageHeader, &PageHeader::signalCloseClicked, this, &Alert::signalClose);
    connect(pageHeader, &PageHeader::signalLogoDoubleClicked, this, &Alert::signalChangeStatusLog);
}

void Alert::slotStatusLog(bool status)
{
    pageHeader->setStatusLog(status);
}

void Alert::slotStatusAd(bool status)
{
    pageHeader->setStatusAd(status);
}

void Alert::slotListenerRefused()
{
    heading->setText(QStringLiteral("Connection not trusted"));
    text->setText(
        QStringLiteral("Another program holds the agent's port. Your PIN and password were not sent."));
}

void Alert::slotWaiting()
{
    heading->setText(QStringLiteral("No connection"));
    text->setText(QStringLiteral("Checking the signal in your area"));
}
