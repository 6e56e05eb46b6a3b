#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QVector>

class clsISModelProperties;
class Prompts;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// "Add Coefficient Set": the name of a new set and, optionally, the set to model it after.
// The dialog only checks and collects; the editor window adds the name and prepares its grid
// once the dialog is accepted.
class frmAddLCType : public QDialog {
    Q_OBJECT
public:
    // existingNames are the names the new one must differ from (the editor's set list).
    frmAddLCType(const clsISModelProperties& model, const QStringList& existingNames,
                 Prompts& prompts, QWidget* parent);

    // After acceptance: the new name (outer blanks removed) and the set to copy, or "".
    QString newName() const { return m_newName; }
    QString modelAfterName() const { return m_modelAfterName; }

private:
    void Form_Load(const clsISModelProperties& model);
    void ChkModelAfter_Click();
    void cmdOK_Click();

    const QStringList m_existingNames;
    Prompts& m_prompts;
    QString m_newName;
    QString m_modelAfterName;

    QVector<QLabel*> label1;
    QLineEdit* txtLCType;
    QCheckBox* ChkModelAfter;
    QComboBox* cboLCType;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};
