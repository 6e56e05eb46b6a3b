#pragma once

#include <QLineEdit>

// The grid's in-place editor. Keys it does not use stop here instead of travelling on to
// the grid underneath, which would move the current cell behind the user's back.
class CellEditor : public QLineEdit {
    Q_OBJECT
public:
    explicit CellEditor(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
