#include "editor/frmaddlctype.h"

#include "editor/coefficientgrid.h"
#include "model/coefficientfile.h"
#include "model/store.h"
#include "shared_windows/prompts.h"
#include "shared_windows/twips.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

frmAddLCType::frmAddLCType(const clsISModelProperties& model, const QStringList& existingNames,
                           Prompts& prompts, QWidget* parent)
    : QDialog(parent), m_existingNames(existingNames), m_prompts(prompts)
{
    setObjectName(QStringLiteral("frmAddLCType"));
    setWindowTitle(QStringLiteral("Add Coefficient Set"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    // The captions with the widths they were drawn for, in twips.
    const TwipsLayout layout = TwipsLayout::fitting(
        font(),
        {{QStringLiteral("Coefficient Set"), 1335}, // the part right of the edge
         {QStringLiteral("Model after existing Coefficient Set"), 3135, TwipsLayout::MarkPixels},
         {QStringLiteral("Cancel"), 975, TwipsLayout::FramePixels}});
    setFixedSize(layout.size(4615, 2340));

    // Created in tab order.
    label1.resize(2);
    label1[0] = new QLabel(QStringLiteral("Coefficient Set"), this);
    label1[0]->setGeometry(layout.rect(-120, 240, 1455, 255));
    txtLCType = new QLineEdit(this);
    txtLCType->setObjectName(QStringLiteral("txtLCType"));
    txtLCType->setGeometry(layout.rect(1560, 240, 2295, 285));
    ChkModelAfter = new QCheckBox(QStringLiteral("Model after existing Coefficient Set"), this);
    ChkModelAfter->setObjectName(QStringLiteral("ChkModelAfter"));
    // Wide enough for its caption in the font at hand; the box has room to its right.
    QRect checkRect = layout.rect(120, 720, 3135, 255);
    checkRect.setWidth(qMax(checkRect.width(), ChkModelAfter->sizeHint().width()));
    ChkModelAfter->setGeometry(checkRect);
    label1[1] = new QLabel(QStringLiteral("Model After"), this);
    label1[1]->setGeometry(layout.rect(-120, 1080, 1455, 255));
    cboLCType = new QComboBox(this);
    cboLCType->setObjectName(QStringLiteral("cboLCType"));
    cboLCType->setGeometry(layout.rect(1560, 1080, 2895, 315));
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(layout.rect(2160, 1680, 975, 495));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(layout.rect(3480, 1680, 975, 495));
    cmdCancel->setAutoDefault(false);
    for (int i = 0; i < label1.size(); ++i) {
        label1[i]->setObjectName(QStringLiteral("label1_%1").arg(i));
        label1[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }

    connect(ChkModelAfter, &QCheckBox::toggled, this, &frmAddLCType::ChkModelAfter_Click);
    connect(cmdOK, &QPushButton::clicked, this, &frmAddLCType::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    Form_Load(model);
    txtLCType->setFocus();
}

void frmAddLCType::Form_Load(const clsISModelProperties& model)
{
    {
        const QSignalBlocker blocker(cboLCType);
        FillLCTypeCombo(*cboLCType, model);
        cboLCType->setCurrentIndex(-1);
    }
    ChkModelAfter->setChecked(false);
    cboLCType->setEnabled(false);
    label1[1]->setEnabled(false);
}

void frmAddLCType::ChkModelAfter_Click()
{
    const bool modelAfter = ChkModelAfter->isChecked();
    cboLCType->setEnabled(modelAfter);
    label1[1]->setEnabled(modelAfter);
}

void frmAddLCType::cmdOK_Click()
{
    const QString typed = txtLCType->text();
    if (typed.isEmpty()) {
        reject();
        return;
    }
    const QString name = typedSetName(typed);
    if (name.isEmpty()) {
        m_prompts.message(emptyNameMessage(), Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
        return;
    }
    if (IsNameInList(m_existingNames, name)) {
        m_prompts.message(QStringLiteral("Coefficient Set must be unique - '") + typed +
                              QStringLiteral("' is already defined."),
                          Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
        return;
    }
    m_newName = name;
    if (ChkModelAfter->isChecked() && cboLCType->currentIndex() >= 0) {
        m_modelAfterName = cboLCType->currentText();
    }
    accept();
}
