#include "gui/TableWidget.h"

#include <QHeaderView>
#include <QKeyEvent>

TableWidget::TableWidget(QWidget* parent) : QTableWidget(parent)
{
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setFocusPolicy(Qt::NoFocus);
    setShowGrid(false);
    setAlternatingRowColors(false);
    verticalHeader()->setDefaultSectionSize(44);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setStyleSheet(QStringLiteral(
        "QTableWidget {background: #FFFFFF; border: 1px solid #E4E7EC; border-radius: 8px; font-size: 14px;"
        " color: #101828; selection-background-color: #EFF4FF; selection-color: #101828;}"
        "QTableWidget::item {border-bottom: 1px solid #F2F4F7; padding-left: 8px;}"
        "QHeaderView::section {background: #F9FAFB; color: #667085; border: none;"
        " border-bottom: 1px solid #E4E7EC; padding: 8px; font-size: 12px;}"));
}

void TableWidget::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        event->ignore();
        return;
    }
    QTableWidget::keyPressEvent(event);
}
