#pragma once

#include <QDialog>
#include <QString>
#include <QVector>

class HostQueries;
class Prompts;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The population density dialog: the polygon theme and field that carry the density, and
// the thresholds between High, Medium and Low coefficients. Its owner creates it when one of
// its controls is first needed (Form_Load then asks the host for its lists) and keeps it while
// hidden, so the parameter file can read its choices; Cancel unloads it.
class frmISPDensity : public QDialog {
    Q_OBJECT
public:
    frmISPDensity(HostQueries& host, Prompts& prompts, const QString& viewName,
                  QWidget* owner = nullptr);

    // The load step: theme list from the host, its first theme selected, its fields listed.
    void Form_Load();

    // True when the choices may be written; otherwise its message has been shown.
    bool ValidatePopDensity();

    // Shows the dialog modally without waiting for it to close.
    void showModal();

    // Hides and destroys the dialog; its choices are gone.
    void unload();

    QString themeText() const;
    QString fieldText() const;
    QString highText() const;
    QString medText(int index) const;
    QString lowText() const;

    // Escape and the close box unload, as Cancel does.
    void reject() override;

signals:
    // Emitted when the dialog unloads, before it is destroyed.
    void unloaded();

private:
    void cboPDenTheme_Click(int index);
    void cmdOK_Click();
    void cmdCancel_Click();

    HostQueries& m_host;
    Prompts& m_prompts;
    QString m_viewName;
    bool m_unloading = false;
    int intLastPDenTheme = 0;

    QVector<QLabel*> Label1;
    QVector<QLabel*> Label2;
    QComboBox* cboPDenTheme;
    QComboBox* cboPDenFld;
    QLineEdit* txtHigh;
    QVector<QLineEdit*> txtMed;
    QLineEdit* txtLow;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};
