#include "editor/frmismodelprops.h"

#include "editor/celleditor.h"
#include "editor/coefficientgrid.h"
#include "editor/frmaddlctype.h"
#include "hostlink/hostlink.h"
#include "model/coefficientfile.h"
#include "model/store.h"
#include "model/storemerge.h"
#include "shared_windows/fittedcombobox.h"
#include "shared_windows/frmhelpbrowser2.h"
#include "shared_windows/prompts.h"
#include "shared_windows/qtprompts.h"
#include "shared_windows/twips.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QToolTip>

using namespace GridRules;
using Button = Prompts::Button;
using Buttons = Prompts::Buttons;
using Icon = Prompts::Icon;

namespace {

const QString kSwitchQuestion =
    QStringLiteral("Changes to the current coefficient set must be saved before displaying another "
                   "coefficient set. ");

QString switchClosing(const QString& setName)
{
    return QStringLiteral(" Click 'Yes' to save changes to ") + setName +
           QStringLiteral(" and proceed, or 'No' to return.");
}

// The closing sentence of the save question before New, Import, Export and Merge.
const QString kProceedClosing =
    QStringLiteral(" Click 'Yes' to save changes and proceed, or 'No' to return.");
const QString kNewQuestion = QStringLiteral(
    "Changes to the current coefficient set must be saved before adding a new coefficient set. ");
const QString kImportQuestion = QStringLiteral(
    "Changes to the current coefficient set must be saved before importng a new coefficient set. ");
const QString kExportQuestion = QStringLiteral(
    "Changes to the current coefficient set must be saved before export a new coefficient set. ");
const QString kMergeQuestion = QStringLiteral(
    "Changes to the current coefficient set must be saved before adding new coefficient sets. ");

const QString kTextFileFilter = QStringLiteral("Coefficient Text File(*.txt;*.csv)|*.txt;*.csv");
const QString kImportFailedTitle = QStringLiteral("Coefficient Import Unsuccessful");

const QString kQuitQuestion =
    QStringLiteral("Changes to the coefficient set have not been saved. \r\n Click 'Yes' to save "
                   "changes, 'No' to quit, or 'Cancel' to return.");

QString changedStoreQuestion(const QString& storePath)
{
    return QStringLiteral("The coefficient store '%1' has been changed or removed by another "
                          "program since this window last read or saved it. \r\n Click 'Yes' "
                          "to replace it with the coefficient sets of this window (the other "
                          "program's changes are lost), or 'No' to keep the file as it is and "
                          "the changes of this window unsaved.")
        .arg(storePath);
}

// A printable character typed without Ctrl or Alt; copy, paste and other shortcuts are not
// typing.
bool isTypedCharacter(const QKeyEvent* event)
{
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        return false;
    }
    const QString text = event->text();
    return !text.isEmpty() && text.at(0).isPrint();
}

bool isEnterKey(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

// The captions with the widths they were drawn for, in twips.
QVector<TwipsLayout::Text> layoutTexts()
{
    constexpr int Frame = TwipsLayout::FramePixels;
    return {{QStringLiteral("Coefficient Set"), 1200}, {QStringLiteral("New..."), 850, Frame},
            {QStringLiteral("Import..."), 850, Frame}, {QStringLiteral("Export..."), 850, Frame},
            {QStringLiteral("Merge..."), 850, Frame},  {QStringLiteral("Coefficients"), 2895},
            {QStringLiteral("Medium"), 965},           {QStringLiteral("Value"), 775},
            {QStringLiteral("Apply"), 1095, Frame}};
}

QLabel* headerBand(QWidget* parent, const QString& caption, const QRect& geometry)
{
    auto* label = new QLabel(caption, parent);
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignCenter);
    label->setFrameStyle(QFrame::Panel | QFrame::Raised);
    label->setBackgroundRole(QPalette::Button);
    label->setAutoFillBackground(true);
    return label;
}

} // namespace

frmISModelProps::frmISModelProps(const QString& storePath, Prompts& prompts, QWidget* parent)
    : QWidget(parent, Qt::Window), m_storePath(storePath), m_prompts(prompts),
      m_helpPath(frmHelpBrowser2::standardHelpPath()),
      m_layout(TwipsLayout::fitting(font(), layoutTexts()))
{
    createControls();
}

frmISModelProps::~frmISModelProps() = default;

// One list of controls in the window's tab order, each placed at its fixed twips position;
// split up, the order and the positions would be harder to read against each other.
void frmISModelProps::createControls()
{
    setObjectName(QStringLiteral("frmISModelProps"));
    setWindowTitle(QStringLiteral("Change Coefficients"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(m_layout.size(7566, 5317));

    Label1.resize(5);
    Label1[0] = new QLabel(QStringLiteral("Coefficient Set"), this);
    Label1[0]->setGeometry(m_layout.rect(180, 320, 1200, 260));

    cboLCType = new FittedComboBox(this);
    cboLCType->setObjectName(QStringLiteral("cboLCType"));
    cboLCType->setEditable(false);
    const QRect cboRect = m_layout.rect(1612, 280, 1935, 0);
    cboLCType->setGeometry(cboRect.x(), cboRect.y(), cboRect.width(),
                           cboLCType->sizeHint().height());

    const auto button = [this](const char* name, const QString& caption, const QRect& rect) {
        auto* pushButton = new QPushButton(caption, this);
        pushButton->setObjectName(QLatin1String(name));
        pushButton->setGeometry(rect);
        pushButton->setAutoDefault(false);
        return pushButton;
    };
    cmdNew = button("cmdNew", QStringLiteral("New..."), m_layout.rect(3744, 240, 850, 400));
    CmdImport =
        button("CmdImport", QStringLiteral("Import..."), m_layout.rect(4628, 234, 850, 400));
    CmdExport =
        button("CmdExport", QStringLiteral("Export..."), m_layout.rect(5512, 234, 850, 400));
    CmdMerge = button("CmdMerge", QStringLiteral("Merge..."), m_layout.rect(6400, 234, 850, 400));

    Label1[3] = headerBand(this, QString(), m_layout.rect(234, 819, 403, 260));
    Label1[1] = headerBand(this, QStringLiteral("Class"), m_layout.rect(640, 840, 3375, 255));
    Label1[2] =
        headerBand(this, QStringLiteral("Coefficients"), m_layout.rect(4020, 840, 2895, 255));
    Label1[4] = headerBand(this, QString(), m_layout.rect(6900, 840, 300, 255));
    for (int i = 0; i < Label1.size(); ++i) {
        Label1[i]->setObjectName(QStringLiteral("Label1_%1").arg(i));
    }

    grdLCDef = new QTableWidget(this);
    grdLCDef->setObjectName(QStringLiteral("grdLCDef"));
    grdLCDef->setGeometry(m_layout.rect(234, 1053, 7007, 3497));
    SetUpCoefficientGrid(*grdLCDef, m_layout);
    FormatCoefficientGrid(*grdLCDef);

    txtActiveCell = new CellEditor(grdLCDef->viewport());
    txtActiveCell->setObjectName(QStringLiteral("txtActiveCell"));
    txtActiveCell->setFrame(false);
    QPalette editorPalette = txtActiveCell->palette();
    editorPalette.setColor(QPalette::Base, currentCellColour());
    txtActiveCell->setPalette(editorPalette);
    txtActiveCell->hide();
    // The right button over the editor opens the row menu, as it does over the grid.
    txtActiveCell->setContextMenuPolicy(Qt::PreventContextMenu);

    cmdHelp = button("cmdHelp", QStringLiteral("Help"), m_layout.rect(240, 4750, 1095, 495));
    cmdApply = button("cmdApply", QStringLiteral("Apply"), m_layout.rect(4920, 4750, 1095, 495));
    cmdQuit = button("cmdQuit", QStringLiteral("Quit"), m_layout.rect(6240, 4750, 1095, 495));

    txtAvParamStr = new QLineEdit(this);
    txtAvParamStr->setObjectName(QStringLiteral("txtAvParamStr"));
    txtAvParamStr->setGeometry(m_layout.rect(1680, 4800, 1215, 495));
    txtAvParamStr->hide();

    MnuFGridRows = new QMenu(QStringLiteral("Row Popup"), this);
    MnuFGridRows->setObjectName(QStringLiteral("MnuFGridRows"));
    const auto menuItem = [this](const char* name, const QString& caption,
                                 void (frmISModelProps::*handler)()) {
        QAction* action = MnuFGridRows->addAction(caption);
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, handler);
    };
    menuItem("MnuFGridAddRow", QStringLiteral("Add a Row"), &frmISModelProps::MnuFGridAddRow_Click);
    menuItem("MnuFGridInsRow", QStringLiteral("Insert a Row"),
             &frmISModelProps::MnuFGridInsRow_Click);
    menuItem("MnuFGridDelRow", QStringLiteral("Delete a Row"),
             &frmISModelProps::MnuFGridDelRow_Click);

    grdLCDef->installEventFilter(this);
    grdLCDef->viewport()->installEventFilter(this);
    txtActiveCell->installEventFilter(this);
    connect(grdLCDef, &QTableWidget::currentCellChanged, this,
            [this](int row, int col, int prevRow, int prevCol) {
                grdLCDef_LeaveCell(prevRow, prevCol);
                grdLCDef_EnterCell(row, col);
            });
    connect(grdLCDef->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &frmISModelProps::hideCellEditor);
    connect(grdLCDef->horizontalScrollBar(), &QScrollBar::valueChanged, this,
            &frmISModelProps::hideCellEditor);
    connect(txtActiveCell, &QLineEdit::textChanged, this, &frmISModelProps::txtActiveCell_Change);

    connect(cboLCType, &QComboBox::currentIndexChanged, this, &frmISModelProps::cboLCType_Click);
    // A set chosen with the mouse is there to be edited: the grid takes the keys again, so
    // typing goes into the set instead of jumping to another one.
    m_setListViewport = cboLCType->view()->viewport();
    m_setListViewport->installEventFilter(this);
    cboLCType->installEventFilter(this);
    connect(cboLCType, &QComboBox::activated, this, [this] {
        if (m_chosenWithMouse) {
            m_chosenWithMouse = false;
            grdLCDef->setFocus();
        }
    });
    connect(cmdNew, &QPushButton::clicked, this, &frmISModelProps::cmdNew_Click);
    connect(CmdImport, &QPushButton::clicked, this, &frmISModelProps::CmdImport_Click);
    connect(CmdExport, &QPushButton::clicked, this, &frmISModelProps::CmdExport_Click);
    connect(CmdMerge, &QPushButton::clicked, this, &frmISModelProps::CmdMerge_Click);
    connect(cmdApply, &QPushButton::clicked, this, &frmISModelProps::cmdApply_Click);
    connect(cmdQuit, &QPushButton::clicked, this, &frmISModelProps::cmdQuit_Click);
    connect(cmdHelp, &QPushButton::clicked, this, &frmISModelProps::cmdHelp_Click);
}

bool frmISModelProps::Form_Load()
{
    lngShownSet = -99;
    blnUnsavedChanges = false;
    cmdApply->setEnabled(false);
    objModelProps = std::make_unique<clsISModelProperties>();
    StoreLoadResult loadResult;
    if (!LoadModelXML(*objModelProps, m_storePath, &loadResult)) {
        m_prompts.message(
            storeLoadFailureMessage(editorLoadFailureMessage(), m_storePath, loadResult),
            Icon::Critical, Buttons::OkCancel);
        return false;
    }
    m_storeBytes = loadResult.fileBytes;
    {
        // Filling selects the first entry by itself; the selection below is the one that
        // shows the set, through the list's own handler.
        const QSignalBlocker blocker(cboLCType);
        FillLCTypeCombo(*cboLCType, *objModelProps);
        cboLCType->setCurrentIndex(-1);
    }
    if (cboLCType->count() > 0) {
        cboLCType->setCurrentIndex(0);
    } else {
        ShowCoefficientSet(*grdLCDef, QString(), *objModelProps);
    }
    FormatCoefficientGrid(*grdLCDef);
    moveTo({FirstDataRow, FirstDataCol});
    grdLCDef->item(FirstDataRow, FirstDataCol)->setBackground(currentCellColour());
    // The yellow cell invites typing, so the keys go to the grid.
    grdLCDef->setFocus();
    return true;
}

bool frmISModelProps::HostExecute(const QString& command)
{
    const bool exit = HostLink::isCommand(command, HostLink::CmdExit);
    if (!exit && !HostLink::isCommand(command, HostLink::CmdView)) {
        return false;
    }
    // The user sees the questions that follow, or the one already open.
    showNormal();
    raise();
    activateWindow();
    if (!exit) {
        return true;
    }
    // A dialog waiting for an answer is the user's to finish first.
    if (QWidget* open = QApplication::activeModalWidget()) {
        open->raise();
        open->activateWindow();
        return false;
    }
    // As Quit: the unsaved-changes question may keep the window open.
    if (!close()) {
        return false;
    }
    if (frmHelpBrowser2* help = frmHelpBrowser2::current()) {
        help->close();
    }
    return true;
}

// ---- Grid ------------------------------------------------------------------------------

CellPos frmISModelProps::currentCell() const
{
    return {grdLCDef->currentRow(), grdLCDef->currentColumn()};
}

int frmISModelProps::lastRow() const
{
    return grdLCDef->rowCount() - 1;
}

bool frmISModelProps::hasSet() const
{
    return cboLCType->currentIndex() >= 0;
}

bool frmISModelProps::hasDataCellCurrent() const
{
    // Without a set the blank row has nowhere to be saved, so it takes no input.
    return hasSet() && isDataCell(currentCell()) && currentCell().row <= lastRow();
}

void frmISModelProps::rememberCurrentText()
{
    if (hasDataCellCurrent()) {
        m_rememberedText = cellText(*grdLCDef, currentCell().row, currentCell().col);
    }
}

void frmISModelProps::moveTo(CellPos pos)
{
    if (pos != currentCell()) {
        grdLCDef->setCurrentCell(pos.row, pos.col);
    }
}

void frmISModelProps::hideCellEditor()
{
    // Hiding the focused editor would make the view pass the focus on with a Tab, which
    // moves the current cell; the grid takes it first.
    if (QApplication::focusWidget() == txtActiveCell) {
        grdLCDef->setFocus();
    }
    txtActiveCell->hide();
}

void frmISModelProps::grdLCDef_EnterCell(int row, int col)
{
    if (!isDataCell({row, col})) {
        return;
    }
    hideCellEditor();
    m_rememberedText = cellText(*grdLCDef, row, col);
    if (QTableWidgetItem* item = grdLCDef->item(row, col)) {
        item->setBackground(currentCellColour());
    } else {
        setCellText(*grdLCDef, row, col, QString());
        grdLCDef->item(row, col)->setBackground(currentCellColour());
    }
}

void frmISModelProps::grdLCDef_LeaveCell(int row, int col)
{
    if (!isDataCell({row, col}) || row >= grdLCDef->rowCount()) {
        return;
    }
    if (QTableWidgetItem* item = grdLCDef->item(row, col)) {
        item->setBackground(QBrush());
    }
    if (col != ColName && cellText(*grdLCDef, row, col).trimmed().isEmpty()) {
        setCellText(*grdLCDef, row, col, QStringLiteral("0"));
        if (!txtActiveCell->isHidden() && m_editCell == CellPos{row, col}) {
            txtActiveCell->setText(QStringLiteral("0"));
        }
    }
}

bool frmISModelProps::grdLCDef_KeyPress(QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_F2) {
        BeginCellEdit();
        return true;
    }
    if (isEnterKey(key)) {
        MoveToNextCell();
        return true;
    }
    if (key == Qt::Key_Escape) {
        return true;
    }
    if (key == Qt::Key_Backspace) {
        if (hasDataCellCurrent()) {
            const CellPos cell = currentCell();
            QString text = cellText(*grdLCDef, cell.row, cell.col);
            text.chop(1);
            setCellText(*grdLCDef, cell.row, cell.col, text);
            BeginCellEdit();
        }
        return true;
    }
    if (isTypedCharacter(event)) {
        // Typing never reaches the view, whose keyboard search would jump to another cell.
        if (hasDataCellCurrent()) {
            const CellPos cell = currentCell();
            const QString typed = event->text();
            setCellText(*grdLCDef, cell.row, cell.col, typed);
            BeginCellEdit();
            if (!ValidateCellKey(typed)) {
                txtActiveCell->setText(QString());
            }
        }
        return true;
    }
    return false;
}

bool frmISModelProps::grdLCDef_MouseDown(QMouseEvent* event, const QPoint& viewportPos)
{
    hideCellEditor();
    if (event->button() != Qt::RightButton) {
        return false;
    }
    const QModelIndex index = grdLCDef->indexAt(viewportPos);
    if (index.isValid() && isDataCell({index.row(), index.column()})) {
        moveTo({index.row(), index.column()});
    }
    MnuFGridRows->popup(event->globalPosition().toPoint());
    return true;
}

bool frmISModelProps::txtActiveCell_KeyDown(QKeyEvent* event)
{
    const CellPos cell = currentCell();
    bool consumed = true;
    switch (event->key()) {
    case Qt::Key_Escape:
        txtActiveCell->setText(m_rememberedText);
        txtActiveCell->end(false);
        break;
    case Qt::Key_Left:
        if (txtActiveCell->cursorPosition() == 0) {
            moveTo(cellLeftOf(cell));
        } else {
            consumed = false;
        }
        break;
    case Qt::Key_Right:
        if (txtActiveCell->cursorPosition() == txtActiveCell->text().length()) {
            moveTo(cellRightOf(cell, lastRow()));
        } else {
            consumed = false;
        }
        break;
    case Qt::Key_Up:
        moveTo(cellAbove(cell));
        break;
    case Qt::Key_Down:
        moveTo(cellBelow(cell, lastRow()));
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        setCellText(*grdLCDef, m_editCell.row, m_editCell.col, txtActiveCell->text());
        hideCellEditor();
        MoveToNextCell();
        grdLCDef->setFocus();
        break;
    default:
        consumed = false;
        if (isTypedCharacter(event)) {
            const QString typed = event->text();
            const QString candidate = candidateText(
                txtActiveCell->text(), txtActiveCell->cursorPosition(),
                txtActiveCell->selectionStart(), txtActiveCell->selectedText().length(), typed);
            setCellText(*grdLCDef, cell.row, cell.col, candidate);
            // A refused character never reaches the editor.
            consumed = !ValidateCellKey(typed);
        }
        break;
    }
    ShowCurrentCell();
    return consumed;
}

void frmISModelProps::txtActiveCell_Change(const QString& text)
{
    // Every change, pasting and Delete included, reaches the cell, so the two always agree.
    if (!txtActiveCell->isHidden()) {
        setCellText(*grdLCDef, m_editCell.row, m_editCell.col, text);
    }
}

void frmISModelProps::BeginCellEdit()
{
    if (!hasDataCellCurrent()) {
        return;
    }
    // Scrolled first, so the editor lies over a whole cell and the scroll does not close it.
    ShowCurrentCell();
    m_editCell = currentCell();
    txtActiveCell->setFont(grdLCDef->font());
    txtActiveCell->setGeometry(
        grdLCDef->visualRect(grdLCDef->model()->index(m_editCell.row, m_editCell.col)));
    txtActiveCell->show();
    txtActiveCell->setText(cellText(*grdLCDef, m_editCell.row, m_editCell.col));
    txtActiveCell->end(false);
    txtActiveCell->setFocus();
    setUnsavedChanges(true);
}

void frmISModelProps::MoveToNextCell()
{
    if (!hasDataCellCurrent()) {
        return;
    }
    grdLCDef->setUpdatesEnabled(false);
    moveTo(nextCellForEnter(currentCell(), lastRow()));
    ShowCurrentCell();
    grdLCDef->setUpdatesEnabled(true);
}

void frmISModelProps::ShowCurrentCell()
{
    if (hasDataCellCurrent()) {
        const CellPos cell = currentCell();
        grdLCDef->scrollTo(grdLCDef->model()->index(cell.row, cell.col));
    }
}

bool frmISModelProps::ValidateCellKey(const QString& key)
{
    const CellPos cell = currentCell();
    const KeyVerdict verdict = checkCellKey(cell, key, cellText(*grdLCDef, cell.row, cell.col));
    if (verdict == KeyVerdict::Accepted) {
        return true;
    }
    m_prompts.message(keyRefusalMessage(verdict), Icon::Exclamation, Buttons::Ok);
    setCellText(*grdLCDef, cell.row, cell.col, txtActiveCell->text());
    return false;
}

// ---- Row commands ----------------------------------------------------------------------

void frmISModelProps::MnuFGridAddRow_Click()
{
    if (!hasSet()) {
        return;
    }
    const int row = grdLCDef->rowCount();
    const int col = qMax(int(FirstDataCol), grdLCDef->currentColumn());
    grdLCDef->setRowCount(row + 1);
    // Current before it is filled, so the remembered text of the new cell is empty.
    moveTo({row, col});
    setCellText(*grdLCDef, row, ColNumber, QString::number(row));
    setCellText(*grdLCDef, row, ColValue, QStringLiteral("0"));
    setCellText(*grdLCDef, row, ColName, QString());
    setCellText(*grdLCDef, row, ColHigh, QStringLiteral("0"));
    setCellText(*grdLCDef, row, ColMed, QStringLiteral("0"));
    setCellText(*grdLCDef, row, ColLow, QStringLiteral("0"));
    // Escape on the new row brings back its own text, not the old current cell's.
    rememberCurrentText();
    ShowCurrentCell();
    setUnsavedChanges(true);
}

void frmISModelProps::MnuFGridInsRow_Click()
{
    if (!hasSet()) {
        return;
    }
    const int row = currentCell().row;
    if (row < FirstDataRow || row > lastRow()) {
        MnuFGridAddRow_Click();
    } else {
        // Rows move by their texts: inserting a table row would move the current cell
        // without telling anyone.
        const int last = grdLCDef->rowCount();
        grdLCDef->setRowCount(last + 1);
        setCellText(*grdLCDef, last, ColNumber, QString::number(last));
        for (int target = last; target > row; --target) {
            for (int col = ColValue; col <= ColLow; ++col) {
                setCellText(*grdLCDef, target, col, cellText(*grdLCDef, target - 1, col));
            }
        }
        setCellText(*grdLCDef, row, ColValue, QStringLiteral("0"));
        setCellText(*grdLCDef, row, ColName, QString());
        setCellText(*grdLCDef, row, ColHigh, QStringLiteral("0"));
        setCellText(*grdLCDef, row, ColMed, QStringLiteral("0"));
        setCellText(*grdLCDef, row, ColLow, QStringLiteral("0"));
        rememberCurrentText();
    }
    hideCellEditor();
    setUnsavedChanges(true);
}

void frmISModelProps::MnuFGridDelRow_Click()
{
    if (!hasSet()) {
        return;
    }
    const CellPos cell = currentCell();
    const int last = lastRow();
    if (last >= FirstDataRow && cell.row >= FirstDataRow && cell.row <= last) {
        bool remove = true;
        if (rowHoldsData(rowTexts(*grdLCDef, cell.row))) {
            const QString question = QStringLiteral("There is data in Row ") +
                                     QString::number(cell.row) +
                                     QStringLiteral(" ! Delete anyway?");
            remove = m_prompts.message(question, QStringLiteral("Delete Row!"), Icon::None,
                                       Buttons::YesNo) == Button::Yes;
        }
        if (remove) {
            if (cell.row == last) {
                moveTo({cell.row - 1, cell.col});
            } else {
                for (int row = cell.row; row < last; ++row) {
                    for (int col = ColValue; col <= ColLow; ++col) {
                        setCellText(*grdLCDef, row, col, cellText(*grdLCDef, row + 1, col));
                    }
                }
            }
            grdLCDef->setRowCount(last);
            rememberCurrentText();
        }
    }
    setUnsavedChanges(true);
}

// ---- New, Import, Export and Merge ----------------------------------------------------

void frmISModelProps::cmdNew_Click()
{
    if (m_addDialog || !SaveBeforeProceeding(kNewQuestion, kProceedClosing, selectedSetName())) {
        return;
    }
    // Window-modal without a nested event loop; the rest runs when the dialog closes.
    const int entriesBefore = cboLCType->count();
    QStringList listed;
    for (int i = 0; i < cboLCType->count(); ++i) {
        listed << cboLCType->itemText(i);
    }
    m_addDialog = new frmAddLCType(*objModelProps, listed, m_prompts, this);
    m_addDialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_addDialog, &QDialog::finished, this,
            [this, entriesBefore](int result) { frmAddLCType_Closed(result, entriesBefore); });
    m_addDialog->open();
}

void frmISModelProps::frmAddLCType_Closed(int result, int entriesBefore)
{
    const QString name = m_addDialog->newName();
    const QString modelAfter = m_addDialog->modelAfterName();
    m_addDialog = nullptr;
    if (result != QDialog::Accepted || name.isEmpty()) {
        return;
    }
    // Selecting the new entry shows it through the list's handler: a set the model does not
    // hold yet, so a blank grid, which the next steps fill.
    cboLCType->addItem(name);
    cboLCType->setCurrentIndex(cboLCType->count() - 1);
    if (!modelAfter.isEmpty()) {
        ShowCoefficientSet(*grdLCDef, modelAfter, *objModelProps);
    } else {
        grdLCDef->setRowCount(1);
        for (int col = 0; col < ColumnCount; ++col) {
            setCellText(*grdLCDef, 0, col, QString());
        }
        FormatCoefficientGrid(*grdLCDef);
        grdLCDef->setRowCount(3);
        for (int row = FirstDataRow; row < 3; ++row) {
            for (int col = 0; col < ColumnCount; ++col) {
                setCellText(*grdLCDef, row, col, QString());
            }
        }
        moveTo({FirstDataRow, FirstDataCol});
    }
    if (cboLCType->count() != entriesBefore) {
        lngShownSet = cboLCType->currentIndex();
        cboLCType->setFocus();
        setUnsavedChanges(true);
    }
}

void frmISModelProps::appendListEntries(const QStringList& names)
{
    // Added sets never change the selection, not even in a list that was empty.
    const QSignalBlocker blocker(cboLCType);
    const int selected = cboLCType->currentIndex();
    for (const QString& name : names) {
        cboLCType->addItem(name);
    }
    cboLCType->setCurrentIndex(selected);
}

void frmISModelProps::CmdImport_Click()
{
    if (!SaveBeforeProceeding(kImportQuestion, kProceedClosing, selectedSetName())) {
        return;
    }
    const QString path =
        m_prompts.openFile({QStringLiteral("Impervious Surface Coefficient File to Import"),
                            kTextFileFilter, QString(), Prompts::FileOption::MustExist});
    if (path.isEmpty()) {
        return;
    }
    ImportFile(path.trimmed());
}

void frmISModelProps::ImportFile(const QString& path)
{
    QString name;
    for (;;) {
        // Outer blanks would not survive the store; blanks alone count as no answer.
        name = typedSetName(m_prompts.input(QStringLiteral("Enter new Coefficient Set name"),
                                            QStringLiteral("Import")));
        if (name.isEmpty()) {
            return;
        }
        if (objModelProps->ISLCDefs->indexOf(name) == 0) {
            break;
        }
        m_prompts.message(uniqueNameMessage(), Icon::Exclamation, Buttons::Ok);
    }
    const ImportResult result = ImportCoefficientFile(*objModelProps, path, name);
    if (!result.ok()) {
        m_prompts.message(result.message(path), kImportFailedTitle, Icon::Critical, Buttons::Ok);
        return;
    }
    appendListEntries({name});
    if (!saveStore(kImportFailedTitle)) {
        // The new set lives in the model and the list: unsaved, so the next save writes it.
        setUnsavedChanges(true);
    }
}

void frmISModelProps::CmdExport_Click()
{
    if (!SaveBeforeProceeding(kExportQuestion, kProceedClosing, selectedSetName())) {
        return;
    }
    const QString path = m_prompts.saveFile(
        {QStringLiteral("Export Impervious Surface Coefficients into Filename"), kTextFileFilter,
         QStringLiteral(".txt"), Prompts::FileOption::ConfirmOverwrite});
    if (path.isEmpty()) {
        return;
    }
    QString reason;
    if (!ExportCoefficientFile(*objModelProps, path.trimmed(), selectedSetName(), &reason)) {
        m_prompts.message(cannotWriteMessage(path.trimmed(), reason), Icon::Critical, Buttons::Ok);
    }
}

void frmISModelProps::CmdMerge_Click()
{
    if (!SaveBeforeProceeding(kMergeQuestion, kProceedClosing, selectedSetName())) {
        return;
    }
    const QString chosen =
        m_prompts.openFile({QStringLiteral("TARN Coefficient File to Merge"),
                            QStringLiteral("TARN Coefficient File (*.xml)|*.xml"), QString(),
                            Prompts::FileOption::MustExist});
    if (chosen.isEmpty()) {
        return;
    }
    const QString path = chosen.trimmed();
    const MergeResult result = MergeStoreFile(*objModelProps, path);
    if (!result.loaded()) {
        // A file that cannot be read is told apart from one that is not a store.
        m_prompts.message(result.load.status == StoreLoadResult::FileError
                              ? cannotReadMessage(path, result.load.description)
                              : mergeLoadFailureMessage(),
                          Icon::Exclamation, Buttons::OkCancel);
        return;
    }
    appendListEntries(result.addedNames);
    if (!saveStore(m_prompts.programTitle())) {
        setUnsavedChanges(true); // as after a failed import
    }
    if (result.duplicates) {
        m_prompts.message(duplicateNamesMessage(), Icon::Information, Buttons::Ok);
    }
}

// ---- Set switching and saving ----------------------------------------------------------

QString frmISModelProps::selectedSetName() const
{
    return cboLCType->currentIndex() >= 0 ? cboLCType->currentText() : QString();
}

void frmISModelProps::setUnsavedChanges(bool unsaved)
{
    blnUnsavedChanges = unsaved;
    cmdApply->setEnabled(unsaved);
}

void frmISModelProps::cboLCType_Click()
{
    const int chosen = cboLCType->currentIndex();
    if (chosen == lngShownSet || chosen < 0) {
        return;
    }
    if (!blnUnsavedChanges) {
        ShowCoefficientSet(*grdLCDef, cboLCType->itemText(chosen), *objModelProps);
        lngShownSet = chosen;
        return;
    }
    const QString shownName = cboLCType->itemText(lngShownSet);
    if (SaveBeforeProceeding(kSwitchQuestion, switchClosing(shownName), shownName)) {
        ShowCoefficientSet(*grdLCDef, cboLCType->itemText(chosen), *objModelProps);
        lngShownSet = chosen;
    } else {
        // Raises this handler again, which finds the shown set selected and stops.
        cboLCType->setCurrentIndex(lngShownSet);
    }
}

frmISModelProps::SaveOutcome frmISModelProps::saveGridAndStore(const QString& setName)
{
    hideCellEditor();
    // Without a set (an empty store) the grid has nowhere to go; no set named "" is made.
    if (!setName.isEmpty()) {
        WriteBackError error;
        if (!SaveGridToSet(*grdLCDef, setName, *objModelProps, &error)) {
            m_prompts.message(error.message(), Icon::Exclamation, Buttons::Ok);
            moveTo({error.row, error.col});
            grdLCDef->setFocus();
            return SaveOutcome::GridRefused;
        }
    }
    return saveStore(m_prompts.programTitle()) ? SaveOutcome::Saved : SaveOutcome::StoreFailed;
}

bool frmISModelProps::saveStore(const QString& failureTitle)
{
    // The file the user agreed to replace: at first the one this window read or wrote.
    QByteArray replaceable = m_storeBytes;
    for (;;) {
        auto lock = std::make_unique<StoreLock>(m_storePath);
        if (lock->lock(m_lockWaitMs) != StoreLock::Result::Locked) {
            m_prompts.message(lock->refusalMessage(), failureTitle, Icon::Exclamation, Buttons::Ok);
            return false;
        }
        QByteArray onDisk; // stays empty when the file is gone
        QString ignored;
        readFileBytes(m_storePath, &onDisk, &ignored);
        if (onDisk == replaceable) {
            const QByteArray bytes = storeFileBytes(*objModelProps);
            if (!writeStoreFile(m_storePath, bytes, nullptr)) {
                m_prompts.message(saveFailureMessage(m_storePath), failureTitle, Icon::Critical,
                                  Buttons::OkCancel);
                return false;
            }
            m_storeBytes = bytes;
            return true;
        }
        // Nobody waits on the lock while the user decides; a file that changes again
        // meanwhile is asked about again.
        lock.reset();
        if (m_prompts.message(changedStoreQuestion(m_storePath), Icon::Exclamation,
                              Buttons::YesNo) != Button::Yes) {
            return false;
        }
        replaceable = onDisk;
    }
}

bool frmISModelProps::SaveBeforeProceeding(const QString& question, const QString& closing,
                                           const QString& setName)
{
    if (!blnUnsavedChanges) {
        return true;
    }
    if (m_prompts.message(question + QStringLiteral("\r\n") + closing, Icon::None,
                          Buttons::YesNo) != Button::Yes) {
        return false;
    }
    if (saveGridAndStore(setName) != SaveOutcome::Saved) {
        return false;
    }
    setUnsavedChanges(false);
    return true;
}

void frmISModelProps::cmdApply_Click()
{
    if (saveGridAndStore(selectedSetName()) != SaveOutcome::Saved) {
        return;
    }
    cboLCType->setFocus();
    setUnsavedChanges(false);
}

void frmISModelProps::cmdQuit_Click()
{
    close();
}

bool frmISModelProps::QueryUnload()
{
    if (!blnUnsavedChanges) {
        return true;
    }
    switch (m_prompts.message(kQuitQuestion, Icon::None, Buttons::YesNoCancel)) {
    case Button::Yes:
        if (saveGridAndStore(selectedSetName()) != SaveOutcome::Saved) {
            return false;
        }
        setUnsavedChanges(false);
        return true;
    case Button::No:
        return true;
    default:
        return false;
    }
}

void frmISModelProps::closeEvent(QCloseEvent* event)
{
    // The close box asks as Quit does: closing must not drop edits without a word.
    if (QueryUnload()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void frmISModelProps::cmdHelp_Click()
{
    frmHelpBrowser2::showHelp(m_prompts, nullptr, m_helpPath, m_storePath);
}

bool frmISModelProps::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == grdLCDef && event->type() == QEvent::KeyPress) {
        return grdLCDef_KeyPress(static_cast<QKeyEvent*>(event));
    }
    if (watched == txtActiveCell && event->type() == QEvent::KeyPress) {
        return txtActiveCell_KeyDown(static_cast<QKeyEvent*>(event));
    }
    if (watched == txtActiveCell && event->type() == QEvent::MouseButtonPress) {
        // The editor lies on the grid: its right button is the grid's.
        auto* mouse = static_cast<QMouseEvent*>(event);
        return mouse->button() == Qt::RightButton &&
               grdLCDef_MouseDown(mouse, txtActiveCell->mapToParent(mouse->position().toPoint()));
    }
    if (watched == m_setListViewport && event->type() == QEvent::MouseButtonRelease) {
        m_chosenWithMouse = true;
    } else if (watched == cboLCType &&
               (event->type() == QEvent::KeyPress || event->type() == QEvent::Wheel)) {
        m_chosenWithMouse = false;
    }
    if (watched == grdLCDef->viewport()) {
        if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            return grdLCDef_MouseDown(mouse, mouse->position().toPoint());
        }
        if (event->type() == QEvent::ToolTip) {
            // A cut-off cell shows its whole text.
            auto* help = static_cast<QHelpEvent*>(event);
            const QModelIndex index = grdLCDef->indexAt(help->pos());
            if (index.isValid() && cellTextCutOff(*grdLCDef, index.row(), index.column())) {
                QToolTip::showText(help->globalPos(),
                                   cellText(*grdLCDef, index.row(), index.column()),
                                   grdLCDef->viewport());
            } else {
                QToolTip::hideText();
            }
            return true;
        }
        if (event->type() == QEvent::MouseButtonDblClick) {
            hideCellEditor();
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                BeginCellEdit();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
