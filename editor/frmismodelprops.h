#pragma once

#include "editor/gridrules.h"
#include "model/clsismodelproperties.h"
#include "model/storelock.h"
#include "shared_windows/twips.h"

#include <QString>
#include <QVector>
#include <QWidget>

#include <memory>

class CellEditor;
class Prompts;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableWidget;
class frmAddLCType;

// The coefficient editor's main window: one coefficient set at a time in the grid, the
// set list, the set commands, Apply and Quit.
class frmISModelProps : public QWidget {
    Q_OBJECT
public:
    // It is given the store to edit and the prompts to ask through, so tests can use a
    // temporary store and scripted answers.
    frmISModelProps(const QString& storePath, Prompts& prompts, QWidget* parent = nullptr);
    ~frmISModelProps() override;

    // Start-up: reads the store and shows its first set. False when the store did not load:
    // the message has been shown, nothing was written, and the program ends unshown.
    bool Form_Load();

    // A command from the host; true when accepted: "{view}" (any letter case), and "{exit}"
    // when the window closed as Quit would close it.
    bool HostExecute(const QString& command);

    // The help page the Help button opens (tests point it elsewhere).
    void setHelpPath(const QString& path) { m_helpPath = path; }
    // How long a save waits for another program's lock on the store (tests shorten it).
    void setLockWait(int ms) { m_lockWaitMs = ms; }

    // State, for the program's own checks and for tests.
    const clsISModelProperties& model() const { return *objModelProps; }
    int shownSet() const { return lngShownSet; }
    bool unsavedChanges() const { return blnUnsavedChanges; }
    QString rememberedText() const { return m_rememberedText; }
    // The open "Add Coefficient Set" dialog, or nullptr.
    frmAddLCType* addDialog() const { return m_addDialog; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();

    // Grid.
    GridRules::CellPos currentCell() const;
    int lastRow() const;
    bool hasSet() const;
    bool hasDataCellCurrent() const;
    void rememberCurrentText();
    void moveTo(GridRules::CellPos pos);
    void grdLCDef_EnterCell(int row, int col);
    void grdLCDef_LeaveCell(int row, int col);
    bool grdLCDef_KeyPress(QKeyEvent* event);
    bool grdLCDef_MouseDown(QMouseEvent* event, const QPoint& viewportPos);
    bool txtActiveCell_KeyDown(QKeyEvent* event);
    void txtActiveCell_Change(const QString& text);
    void BeginCellEdit();
    void MoveToNextCell();
    void ShowCurrentCell();
    bool ValidateCellKey(const QString& key);
    void hideCellEditor();

    // Row commands.
    void MnuFGridAddRow_Click();
    void MnuFGridInsRow_Click();
    void MnuFGridDelRow_Click();

    // New, Import, Export and Merge.
    void cmdNew_Click();
    void frmAddLCType_Closed(int result, int entriesBefore);
    void CmdImport_Click();
    void ImportFile(const QString& path);
    void CmdExport_Click();
    void CmdMerge_Click();
    void appendListEntries(const QStringList& names);

    // Set switching and saving.
    void cboLCType_Click();
    void cmdApply_Click();
    void cmdQuit_Click();
    void cmdHelp_Click();
    bool SaveBeforeProceeding(const QString& question, const QString& closing,
                              const QString& setName);
    enum class SaveOutcome { Saved, GridRefused, StoreFailed };
    SaveOutcome saveGridAndStore(const QString& setName);
    // Writes the model to the store under its lock, asking before it replaces a file another
    // program wrote since. False when nothing was written: the reason has been shown under
    // failureTitle, or the user chose to keep the other program's file.
    bool saveStore(const QString& failureTitle);
    bool QueryUnload();
    QString selectedSetName() const;
    void setUnsavedChanges(bool unsaved);

    QString m_storePath;
    Prompts& m_prompts;
    QString m_helpPath;
    // The drawn layout, scaled to the captions in the window's font.
    TwipsLayout m_layout;
    // The store file as this window last read or wrote it: anything else on disk at the
    // next save was written by another program.
    QByteArray m_storeBytes;
    int m_lockWaitMs = StoreLock::kDefaultWaitMs;

    std::unique_ptr<clsISModelProperties> objModelProps;
    qint32 lngShownSet = -99;
    bool blnUnsavedChanges = false;

    // Text of the current cell when it became current; Escape brings it back.
    QString m_rememberedText;
    // The cell the editor was opened on; its text follows the editor's.
    GridRules::CellPos m_editCell;
    // The last release in the open set list: the choice it makes came from the mouse.
    bool m_chosenWithMouse = false;
    QWidget* m_setListViewport = nullptr;

    QVector<QLabel*> Label1;
    QComboBox* cboLCType = nullptr;
    QPushButton* cmdNew = nullptr;
    QPushButton* CmdImport = nullptr;
    QPushButton* CmdExport = nullptr;
    QPushButton* CmdMerge = nullptr;
    QTableWidget* grdLCDef = nullptr;
    CellEditor* txtActiveCell = nullptr;
    QPushButton* cmdHelp = nullptr;
    QPushButton* cmdApply = nullptr;
    QPushButton* cmdQuit = nullptr;
    QLineEdit* txtAvParamStr = nullptr;
    QMenu* MnuFGridRows = nullptr;
    frmAddLCType* m_addDialog = nullptr;
};
