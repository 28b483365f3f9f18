#include "gui/TableWidgetNetInter.h"

#include <QHeaderView>

TableWidgetNetInter::TableWidgetNetInter(QWidget* parent) : TableWidget(parent)
{
    setColumnCount(3);
    setHorizontalHeaderLabels({QStringLiteral("GUID"), QStringLiteral("Interface"), QStringLiteral("On")});
}

void TableWidgetNetInter::addInTable(const QString& name, const QString& guid, bool status)
{
    const int row = rowCount();
    insertRow(row);
    auto* guidItem = new QTableWidgetItem(guid);
    guidItem->setToolTip(guid);
    setItem(row, 0, guidItem);
    auto* nameItem = new QTableWidgetItem(name);
    nameItem->setToolTip(name);
    setItem(row, 1, nameItem);
    // The box follows the agent's state; a click on the row asks to change it.
    auto* box = new QTableWidgetItem;
    box->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    box->setCheckState(status ? Qt::Checked : Qt::Unchecked);
    setItem(row, 2, box);

    QHeaderView* header = horizontalHeader();
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::Fixed);
    setColumnWidth(2, 62);
}
