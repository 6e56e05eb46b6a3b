#pragma once

#include "launcher/hostqueries.h"
#include "launcher/paramchecks.h"
#include "launcher/scenarios.h"
#include "model/clsismodelproperties.h"
#include "model/modelparams.h"
#include "shared_windows/twips.h"

#include <QPointer>
#include <QString>
#include <QVector>
#include <QWidget>

class ClientLink;
class frmISPDensity;
class Prompts;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;

// The launcher's main window: the parameters of one analysis, its scenarios, and the run.
//
// It is given the store to read, the prompts to ask through and the link to the host, so
// tests can use a temporary store, scripted answers and a host of their own.
class frmISParams : public QWidget {
    Q_OBJECT
public:
    frmISParams(const QString& storePath, Prompts& prompts, ClientLink& link,
                QWidget* parent = nullptr);
    ~frmISParams() override;

    // Start-up: reads the store, asks the host about its view and fills the lists. False when
    // the program must end; the reason has been shown.
    bool Form_Load();

    // A command from the host; false refuses it.
    bool HandleHostCommand(const QString& command);

    // True when a run may start; otherwise the fault has been shown and focused.
    bool ValidateParams(int lastScenario);

    // The density dialog, loaded (and its lists asked from the host) when first needed.
    frmISPDensity* PDensity();
    // The density dialog if it is loaded, else nullptr; loads nothing.
    frmISPDensity* loadedPDensity() const;

    // Writes the parameter file with the store's coefficients as they are now: a store
    // changed since it was read is read again (see ReloadChangedStore).
    bool WriteModelParams(const QString& directory, const QString& fileName, int lastScenario);
    // Reads the store again when its file changed since it was read, keeping the chosen set
    // by name, and tells the user once when that set's values changed. False, with the
    // reason shown, when the store cannot be read or the chosen set is gone.
    bool ReloadChangedStore();
    // The choices as they go into the parameter file.
    ModelParams currentParams(int lastScenario);

    const clsISModelProperties& modelProps() const { return objModelProps; }
    int lastScenario() const { return intLastScenario; }
    bool isUnloaded() const { return m_unloaded; }

    // Focus handlers, public so tests can raise the focus changes the platform would.
    void txtOutputTheme_LostFocus();
    void cmdOutputBrowse_LostFocus();

signals:
    // The window has unloaded (Quit, "{quit}" or its close box).
    void unloaded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // One scenario line: the controls of one index of the scenario control arrays.
    struct ScenarioRow {
        QCheckBox* chkDSApply;
        QLabel* lblDSNum;
        QLabel* lblDSLabel1;
        QComboBox* cboDSTheme;
        QLabel* lblDSLabel2;
        QComboBox* cboDSToClass;

        QVector<QWidget*> widgets() const;
        void setVisible(bool visible) const;
    };

    void cboAnalysisTheme_Click(int index);
    void optPopDensity_MouseUp(int index);
    void cmdOutputBrowse_Click();
    void cmdISRun_Click();
    void cmdISQuit_Click();
    void cmdCancel_Click();
    void cmdISHelp_Click();
    void cmdDSAdd_Click();
    void cmdDSDelete_Click();
    void VScroll1_Change(int value);

    void buildScenarioFrame();
    void createScenarioRow(int index);
    void AddScenarioRow(int index);
    void DeleteScenarioRow(int index, int last);
    void UpdateScenarioScroll(int itemsHeight);
    void setItemsHeight(int itemsHeight);
    bool fault(QWidget* control, const QString& message);

    QString m_storePath;
    Prompts& m_prompts;
    ClientLink& m_link;
    HostQueries m_host;
    int m_timeoutTenths;
    TwipsLayout m_layout;
    bool m_unloaded = false;

    clsISModelProperties objModelProps;
    QString strViewName;
    int intLastScenario = -1;
    int intLastAnalysisTheme = 0;
    QString strLastOutput;
    QString m_runParams;     // the parameter file of the last run request
    QByteArray m_storeBytes; // the store file as last read
    QPointer<frmISPDensity> m_density;

    QComboBox* cboLCTheme;
    QComboBox* cboLCUnits;
    QComboBox* cboAnalysisTheme;
    QComboBox* cboAnalysisUnit;
    QGroupBox* fraPopDensity;
    QComboBox* cboLCType;
    QVector<QRadioButton*> optPopDensity;
    QButtonGroup* optPopDensityGroup;
    QLineEdit* txtOutputTheme;
    QPushButton* cmdOutputBrowse;
    QLineEdit* txtThemeName;
    QPushButton* cmdISHelp;
    QPushButton* cmdISRun;
    QPushButton* cmdISQuit;
    QLineEdit* txtAvParamStr;

    QGroupBox* fraDSMain;
    QLabel* lblDSApply;
    QWidget* fraDSContainer;
    QScrollBar* VScroll1;
    QWidget* fraDSItems;
    QPushButton* cmdDSAdd;
    QPushButton* cmdDSDelete;
    QVector<ScenarioRow> m_scenarioRows;
};
