#include "gui/UpdateCheck.h"

#include <QIcon>
#include <QMovie>
#include <QPushButton>

namespace {
// The agent asks the service with its own request deadline; this only has to
// outlast it.
constexpr int defaultBoundMs = 20000;
} // namespace

UpdateCheck::UpdateCheck(QPushButton* target, QObject* parent)
    : QObject(parent), button(target),
      movie(new QMovie(QStringLiteral(":/nav/update_progress.gif"), QByteArray(), this))
{
    bound.setSingleShot(true);
    bound.setInterval(defaultBoundMs);
    connect(&bound, &QTimer::timeout, this, [this] {
        stop(QStringLiteral(":/nav/update_false.png"), QStringLiteral("Update check failed"));
    });
    connect(movie, &QMovie::frameChanged, this,
            [this](int) { button->setIcon(QIcon(movie->currentPixmap())); });
}

void UpdateCheck::slotStart()
{
    if (button->isCheckable())
        button->setChecked(true);
    movie->start();
    bound.start();
}

void UpdateCheck::slotFinish(bool newVersion)
{
    stop(newVersion ? QStringLiteral(":/nav/update_true.png") : QStringLiteral(":/nav/update_false.png"),
         newVersion ? QStringLiteral("Service update required") : QStringLiteral("Latest version"));
}

void UpdateCheck::stop(const QString& icon, const QString& text)
{
    bound.stop();
    movie->stop();
    if (button->isCheckable())
        button->setChecked(false);
    button->setIcon(QIcon(icon));
    button->setText(text);
}
