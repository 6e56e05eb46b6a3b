#include "launcher/combofill.h"

#include "launcher/hostqueries.h"
#include "launcher/paramchecks.h"
#include "launcher/scenarios.h"

#include <QComboBox>
#include <QSignalBlocker>

void setComboEntries(QComboBox& list, const QStringList& texts)
{
    const QSignalBlocker blocker(list);
    list.clear();
    list.addItems(texts);
    list.setCurrentIndex(-1);
}

void FillThemeCombo(QComboBox& list, HostQueries& host, int kind, const QString& view,
                    HostRequest::ThemeSelector selector)
{
    setComboEntries(list, host.themeNames(kind, view, selector));
}

void FillFieldCombo(QComboBox& list, HostQueries& host, const QString& theme, const QString& view,
                    HostRequest::ThemeSelector selector)
{
    {
        const QSignalBlocker blocker(list);
        list.clear();
    }
    setComboEntries(list, host.fieldNames(theme, view, selector));
}

void FillClassCombo(QComboBox& list, const clsISModelProperties& model, const QString& lcType)
{
    const QSignalBlocker blocker(list);
    list.clear();
    if (const ISLCDefPtr set = model.ISLCDefs->find(lcType)) {
        for (const LCClassPtr& cls : *set->LCClasses) {
            list.addItem(cls->LCName, QVariant(cls->ID));
        }
    }
    list.setCurrentIndex(-1);
}
