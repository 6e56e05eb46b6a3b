#include "launcher/scenarios.h"

#include "base/numbertext.h"

int ScenarioItemsHeight(int lastIndex)
{
    return (lastIndex + 1) * ScenarioLayout::RowStep + ScenarioLayout::NumberTop;
}

ScenarioScroll scenarioScrollFor(int itemsHeight)
{
    using namespace ScenarioLayout;
    ScenarioScroll scroll;
    scroll.visible = itemsHeight - (ScrollTop + ScrollHeight) > 0;
    if (scroll.visible) {
        scroll.maximum = qMax(0, itemsHeight - ContainerHeight);
    }
    return scroll;
}

void deleteScenarioRowState(QVector<ScenarioRowState>& rows, int index)
{
    if (index < 0 || index >= rows.size()) {
        return;
    }
    for (int i = index; i < rows.size() - 1; ++i) {
        rows[i] = rows[i + 1];
    }
    rows.removeLast();
}

bool scenarioIndexFromAnswer(const QString& answer, int rowCount, int* index)
{
    qint32 number = 0;
    if (!parseClassValue(answer, &number)) {
        return false;
    }
    if (number < 1 || number > rowCount) {
        return false;
    }
    *index = number - 1;
    return true;
}
