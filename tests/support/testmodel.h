#pragma once

#include "model/store.h"

#include <QStringList>

#include <memory>

// A store from one text per set: its name, then "value,name,high,medium,low" per row, split by '|'.
inline clsISModelProperties modelOf(const QStringList& sets)
{
    clsISModelProperties model;
    for (const QString& text : sets) {
        QStringList parts = text.split(QLatin1Char('|'));
        auto set = std::make_shared<clsISLCDef>();
        set->LCType = parts.takeFirst();
        for (const QString& row : parts) {
            const QStringList cells = row.split(QLatin1Char(','));
            set->LCClasses->Add(std::make_shared<clsLCClass>(
                clsLCClass{cells[0].toInt(), cells[1], cells[2].toFloat(), cells[3].toFloat(),
                           cells[4].toFloat()}));
        }
        model.ISLCDefs->Add(set);
    }
    return model;
}

inline QStringList setNames(const clsISModelProperties& model)
{
    QStringList names;
    for (const ISLCDefPtr& set : *model.ISLCDefs) {
        names << set->LCType;
    }
    return names;
}

inline QStringList classNames(const clsISModelProperties& model, const QString& set)
{
    QStringList names;
    if (const ISLCDefPtr found = model.ISLCDefs->find(set)) {
        for (const LCClassPtr& lcClass : *found->LCClasses) {
            names << lcClass->LCName;
        }
    }
    return names;
}
