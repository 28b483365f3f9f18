#pragma once

#include "gui/ClickableFrameProtocol.h"
#include "gui/PageHeader.h"
#include "gui/PersonalArea.h"
#include "gui/TableWidget.h"
#include "gui/TableWidgetNetInter.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QString>
#include <QStringList>
#include <QTableWidgetItem>
#include <QtGlobal>

// The tray program's widgets found by their object names, as the tests read
// the pages (the pages have no accessors for them).
namespace WidgetLookup {

// The descendant of `parent` (a pointer or a std::unique_ptr) of that type
// and name; a missing one ends the test at once, naming it.
template <typename T, typename Parent> T* child(const Parent& parent, const char* name)
{
    const QObject* object = &*parent;
    T* found = object->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no %s named \"%s\"", T::staticMetaObject.className(), name);
    return found;
}

// The personal area's protocol choices in the order the settings show them.
template <typename Area> ClickableFrameProtocol* protocolFrame(const Area& area, int number)
{
    static const char* const names[] = {"protocolDNS", "protocolDOH", "protocolDOT"};
    if (number < 0 || number >= int(sizeof(names) / sizeof(names[0])))
        return nullptr;
    return child<ClickableFrameProtocol>(area, names[number]);
}

// The number of the checked protocol choice; -1 when none is.
template <typename Area> int dnsProtocol(const Area& area)
{
    for (int i = 0; protocolFrame(area, i); ++i) {
        if (protocolFrame(area, i)->isChecked())
            return i;
    }
    return -1;
}

// The id of the profile whose box is checked; empty when none is.
template <typename Area> QString currentProfileId(const Area& area)
{
    const TableWidget* profiles = child<TableWidget>(area, "profiles");
    for (int row = 0; row < profiles->rowCount(); ++row) {
        const QTableWidgetItem* box = profiles->item(row, 1);
        const QTableWidgetItem* id = profiles->item(row, 0);
        if (box && id && box->checkState() == Qt::Checked)
            return id->text();
    }
    return QString();
}

// Whether the label of that name is shown and its animation runs.
template <typename Parent> bool animated(const Parent& parent, const char* name)
{
    const QLabel* animation = child<QLabel>(parent, name);
    return !animation->isHidden() && animation->movie() && animation->movie()->state() == QMovie::Running;
}

template <typename Area> bool overlayAnimated(const Area& area)
{
    return animated(area, "overlayAnimation");
}

// The resolver line under the account summary; empty while it is hidden.
template <typename Area> QString resolverText(const Area& area)
{
    const QLabel* line = child<QLabel>(area, "resolverLine");
    return line->isVisibleTo(&*area) ? line->text() : QString();
}

// The status line of a sign-in or PIN form.
template <typename Form> QString statusText(const Form& form)
{
    return child<QLabel>(form, "status")->text();
}

// Whether a sign-in or PIN form shows its loader (it waits for the agent).
template <typename Form> bool loaderShown(const Form& form)
{
    return !child<QLabel>(form, "loading")->isHidden();
}

// The PIN form's heading: "PIN-code" to enter it, "Set PIN-code" to set it.
template <typename Form> QString pinTitle(const Form& form)
{
    return child<QLabel>(form, "title")->text();
}

// Whether the PIN form asks for the PIN a second time (setting it).
template <typename Form> bool confirmShown(const Form& form)
{
    return !child<QLineEdit>(form, "confirm")->isHidden();
}

// The form the sign-in page shows: 0 the sign-in form, 1 the PIN form.
template <typename Page> int formIndex(const Page& page)
{
    return child<QStackedWidget>(page, "forms")->currentIndex();
}

// The tooltip of the logo in a page's header: the name and the logging mark.
template <typename Page> QString logoToolTip(const Page& page)
{
    return child<QLabel>(child<PageHeader>(page, "pageHeader"), "logo")->toolTip();
}

// Whether a page's header shows the "ActiveDirectory" mark.
template <typename Page> bool adMarkShown(const Page& page)
{
    return !child<QLabel>(child<PageHeader>(page, "pageHeader"), "adMark")->isHidden();
}

} // namespace WidgetLookup
