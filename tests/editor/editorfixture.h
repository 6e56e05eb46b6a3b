#pragma once

#include "editor/coefficientgrid.h"
#include "editor/frmismodelprops.h"
#include "model/store.h"
#include "tests/support/scriptedprompts.h"
#include "tests/support/testfiles.h"
#include "tests/support/testmodel.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

using namespace GridRules;
using Button = Prompts::Button;
using Buttons = Prompts::Buttons;
using Icon = Prompts::Icon;

inline clsISModelProperties standardModel()
{
    return modelOf({"Urban|11,Water,0,0,0|21,Open Space,12.5,10,5|22,Low Intensity,40,35,30|"
                    "23,Medium Intensity,75,65,50",
                    "rural Lands|41,Forest,1,0.5,0|81,Pasture,2,1,0.25", "Empty"});
}

// A fresh store and window per test; every question goes through the scripted prompts, and
// one nobody scripted fails the test on closing instead of blocking it.
class EditorFixture {
public:
    QTemporaryDir dir;
    std::unique_ptr<ScriptedPrompts> prompts;
    std::unique_ptr<frmISModelProps> window;

    void cleanup()
    {
        setStoreWritable(true);
        close();
    }

    QString storePath() const { return dir.filePath(QStringLiteral("isprops.xml")); }
    void setStoreWritable(bool writable)
    {
        QFile::setPermissions(storePath(),
                              writable ? QFile::ReadOwner | QFile::WriteOwner : QFile::ReadOwner);
    }
    QByteArray storeBytes() const { return readFile(storePath()); }
    clsISModelProperties storeOnDisk() const
    {
        clsISModelProperties model;
        LoadModelXML(model, storePath());
        return model;
    }

    void open(const clsISModelProperties& model = standardModel())
    {
        close();
        QVERIFY(SaveModelXML(model, storePath()));
        prompts = std::make_unique<ScriptedPrompts>(QStringLiteral("tarnProps"));
        window = std::make_unique<frmISModelProps>(storePath(), *prompts);
        QVERIFY(window->Form_Load());
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }
    void close()
    {
        window.reset();
        const std::unique_ptr<ScriptedPrompts> used = std::move(prompts);
        if (used) {
            QCOMPARE(used->queuedAnswers(), 0);
            QCOMPARE(used->unexpectedCalls(), QStringList());
        }
    }
    QTableWidget* grid() const { return window->findChild<QTableWidget*>("grdLCDef"); }
    QLineEdit* editor() const { return window->findChild<QLineEdit*>("txtActiveCell"); }
    QComboBox* list() const { return window->findChild<QComboBox*>("cboLCType"); }
    QPushButton* button(const char* name) const { return window->findChild<QPushButton*>(name); }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    bool applyEnabled() const { return button("cmdApply")->isEnabled(); }
    QStringList listEntries() const
    {
        QStringList names;
        for (int i = 0; i < list()->count(); ++i) {
            names << list()->itemText(i);
        }
        return names;
    }

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
    void goTo(int row, int col)
    {
        grid()->setCurrentCell(row, col);
        grid()->setFocus();
    }
    // Types into a cell from the grid, as a user starting to type on it.
    void edit(int row, int col, const QString& text)
    {
        goTo(row, col);
        type(text);
    }

    QPoint cellCentre(int row, int col) const
    {
        return grid()->visualItemRect(grid()->item(row, col)).center();
    }
    void clickCell(int row, int col, Qt::MouseButton mouseButton = Qt::LeftButton)
    {
        QTest::mouseClick(grid()->viewport(), mouseButton, {}, cellCentre(row, col));
    }
    // Opens the row menu with the right button on a cell and chooses one of its items.
    void rowCommand(int row, int col, const char* item)
    {
        clickCell(row, col, Qt::RightButton);
        auto* menu = window->findChild<QMenu*>("MnuFGridRows");
        QTRY_VERIFY(menu->isVisible());
        menu->hide();
        menu->findChild<QAction*>(item)->trigger();
    }
};
