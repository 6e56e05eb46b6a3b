#include "editor/celleditor.h"

#include <QKeyEvent>

CellEditor::CellEditor(QWidget* parent) : QLineEdit(parent) {}

void CellEditor::keyPressEvent(QKeyEvent* event)
{
    QLineEdit::keyPressEvent(event);
    event->accept();
}
