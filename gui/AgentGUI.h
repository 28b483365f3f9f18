#pragma once

#include <QJsonObject>
#include <QPoint>
#include <QWidget>

class Alert;
class Authorization;
class CheckerActivation;
class CheckerVersion;
class FilteringStatus;
class PersonalArea;
class QStackedWidget;
class QVBoxLayout;
class TcpSocket;
class Tray;

// The frameless main window: stacks the pages, wires them to the control
// client and lives in the tray while closed.
class AgentGUI : public QWidget
{
    Q_OBJECT
public:
    // The program's fonts, for every window it shows (also the uninstall
    // PIN prompt, which runs without the main window).
    static void registerFonts();
    // Page indexes of the stack.
    enum Page
    {
        PAGE_ALERT = 0,
        PAGE_AUTHORIZATION = 1,
        PAGE_CABINET = 2,
        PAGE_UPDATE = 3,
        PAGE_FILTERING = 4
    };

    explicit AgentGUI(QWidget* parent = nullptr);

    // Shows, raises and activates the window.
    void show();

signals:
    void signalClose();
    void signalSetCoord();
    void signalGetCoord();

public slots:
    void slotGoAuthorization(bool status);
    void slotGoAlert();
    void slotGoCabinet();
    void slotGoUpdate(bool status);
    void slotSetWindow();
    void slotGoFilteringStatus(bool status);
    void slotShow();

protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void makeConnections();
    void placeWindow(const QJsonObject& coordinates);
    void filteringStatusServer(const QJsonObject& data);
    static bool readBool(const QJsonObject& data, const QString& key, bool& out);

    Tray* tray;
    TcpSocket* socket;
    CheckerActivation* checkerActivation;
    QStackedWidget* stack;
    Alert* alert;
    FilteringStatus* filteringStatus;
    Authorization* authorization;
    PersonalArea* personalArea;
    CheckerVersion* checkerVersion;
    QVBoxLayout* layout;
    bool dragging = false;
    QPoint pressOffset;
};
