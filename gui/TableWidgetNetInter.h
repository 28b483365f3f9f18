#pragma once

#include "gui/TableWidget.h"

// The table of network interfaces: GUID, name and whether it is protected.
class TableWidgetNetInter : public TableWidget
{
    Q_OBJECT
public:
    explicit TableWidgetNetInter(QWidget* parent = nullptr);

    void addInTable(const QString& name, const QString& guid, bool status);
};
