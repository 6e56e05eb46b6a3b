#include "shared_windows/fittedcombobox.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolTip>

FittedComboBox::FittedComboBox(QWidget* parent) : QComboBox(parent) {}

int FittedComboBox::contentsWidth() const
{
    const QFontMetrics metrics(view()->font());
    int widest = 0;
    for (int i = 0; i < count(); ++i) {
        widest = qMax(widest, metrics.horizontalAdvance(itemText(i)));
    }
    // Item margins on both sides, and room for the scroll bar of a long list.
    const int margins = 4 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view()) +
                        2 * view()->frameWidth() + 8;
    return widest + margins + view()->verticalScrollBar()->sizeHint().width();
}

bool FittedComboBox::textCutOff() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const QRect textRect =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    return fontMetrics().horizontalAdvance(currentText()) > textRect.width();
}

void FittedComboBox::showPopup()
{
    view()->setMinimumWidth(qMax(width(), contentsWidth()));
    QComboBox::showPopup();
}

bool FittedComboBox::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (textCutOff()) {
            QToolTip::showText(help->globalPos(), currentText(), this);
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QComboBox::event(event);
}
