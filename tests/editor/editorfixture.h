#pragma once

#include "basismodelpropsutil.h"
#include "basutil.h"
#include "frmismodelprops.h"
#include "scriptedprompts.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Button = Prompts::Button;
using Buttons = Prompts::Buttons;
using Icon = Prompts::Icon;

// A set for a test store: name and rows of (value, name, high, medium, low).
struct TestRow {
    qint32 id;
    QString name;
    float high, med, low;
};

inline ISLCDefPtr makeSet(const QString& name, const QVector<TestRow>& rows)
{
    auto set = std::make_shared<clsISLCDef>();
    set->LCType = name;
    for (const TestRow& row : rows) {
        auto lcClass = std::make_shared<clsLCClass>();
        lcClass->ID = row.id;
        lcClass->LCName = row.name;
        lcClass->LCHigh = row.high;
        lcClass->LCMed = row.med;
        lcClass->LCLow = row.low;
        set->LCClasses->Add(lcClass);
    }
    return set;
}

// Urban has four rows, Rural two, Empty none.
inline clsISModelProperties standardModel()
{
    clsISModelProperties model;
    model.ISLCDefs->Add(
        makeSet(QStringLiteral("Urban"), {{11, QStringLiteral("Water"), 0, 0, 0},
                                          {21, QStringLiteral("Open Space"), 12.5f, 10, 5},
                                          {22, QStringLiteral("Low Intensity"), 40, 35, 30},
                                          {23, QStringLiteral("Medium Intensity"), 75, 65, 50}}));
    model.ISLCDefs->Add(
        makeSet(QStringLiteral("rural Lands"), {{41, QStringLiteral("Forest"), 1, 0.5f, 0},
                                                {81, QStringLiteral("Pasture"), 2, 1, 0.25f}}));
    model.ISLCDefs->Add(makeSet(QStringLiteral("Empty"), {}));
    return model;
}

// A fresh store and window per test; every question goes through the scripted prompts.
class EditorFixture {
public:
    QTemporaryDir dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<frmISModelProps> window;

    QString storePath() const { return dir.filePath(QStringLiteral("isprops.xml")); }

    void writeStore(const clsISModelProperties& model)
    {
        QVERIFY(SaveModelXML(model, storePath()));
    }

    QByteArray storeBytes() const
    {
        QFile file(storePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    clsISModelProperties storeOnDisk() const
    {
        clsISModelProperties model;
        LoadModelXML(model, storePath());
        return model;
    }

    void open(const clsISModelProperties& model = standardModel())
    {
        writeStore(model);
        openExisting();
    }

    void openExisting()
    {
        prompts = std::make_unique<ScriptedPrompts>(QStringLiteral("tarnProps"));
        window = std::make_unique<frmISModelProps>(*prompts, storePath());
        QVERIFY(window->loaded());
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        grid()->setFocus();
    }

    void close()
    {
        if (prompts) {
            QCOMPARE(prompts->queuedAnswers(), 0);
            QCOMPARE(prompts->unexpectedCalls(), QStringList());
        }
        window.reset();
        prompts.reset();
    }

    QTableWidget* grid() const { return window->findChild<QTableWidget*>("grdLCDef"); }
    QLineEdit* editor() const { return window->findChild<QLineEdit*>("txtActiveCell"); }
    QComboBox* list() const { return window->findChild<QComboBox*>("cboLCType"); }
    QPushButton* button(const char* name) const { return window->findChild<QPushButton*>(name); }
    bool applyEnabled() const { return button("cmdApply")->isEnabled(); }

    QString cell(int row, int col) const { return cellText(*grid(), row, col); }
    QStringList row(int r) const { return rowTexts(*grid(), r); }
    QPoint current() const { return {grid()->currentRow(), grid()->currentColumn()}; }
    bool editorOpen() const { return editor()->isVisible(); }

    // Keys go where the user's keyboard would send them: to the focused widget.
    static QWidget* focused() { return QApplication::focusWidget(); }
    static void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(focused(), key, modifiers);
    }
    static void type(const QString& text)
    {
        for (const QChar c : text) {
            QTest::keyClicks(focused(), QString(c));
        }
    }

    void clickCell(int row, int col, Qt::MouseButton mouseButton = Qt::LeftButton)
    {
        const QRect rect = grid()->visualRect(grid()->model()->index(row, col));
        QTest::mouseClick(grid()->viewport(), mouseButton, {}, rect.center());
    }
    void doubleClickCell(int row, int col)
    {
        const QRect rect = grid()->visualRect(grid()->model()->index(row, col));
        // QTest sends the double-click alone; a real one follows a press.
        QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(grid()->viewport(), Qt::LeftButton, {}, rect.center());
    }
    void goTo(int row, int col)
    {
        grid()->setCurrentCell(row, col);
        grid()->setFocus();
    }
    // Opens the row menu on a cell and chooses one of its items.
    void rowCommand(int row, int col, const char* item)
    {
        clickCell(row, col, Qt::RightButton);
        auto* menu = window->findChild<QMenu*>("MnuFGridRows");
        QVERIFY(menu);
        QTRY_VERIFY(menu->isVisible());
        QAction* action = menu->findChild<QAction*>(item);
        QVERIFY(action);
        menu->hide();
        action->trigger();
    }
};
