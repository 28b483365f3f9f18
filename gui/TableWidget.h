#pragma once

#include <QTableWidget>

// A table whose rows are chosen by clicking only: the up and down arrow keys
// would move the current row without the click that reports a choice.
class TableWidget : public QTableWidget
{
    Q_OBJECT
public:
    explicit TableWidget(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
