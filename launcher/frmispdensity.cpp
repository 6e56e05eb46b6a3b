#include "launcher/frmispdensity.h"

#include "launcher/combofill.h"
#include "launcher/hostqueries.h"
#include "launcher/paramchecks.h"
#include "launcher/scenarios.h"
#include "shared_windows/fittedcombobox.h"
#include "shared_windows/prompts.h"
#include "shared_windows/twips.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

constexpr int ControlHeight = 315;
constexpr int ButtonHeight = 375;

} // namespace

frmISPDensity::frmISPDensity(HostQueries& host, Prompts& prompts, const QString& viewName,
                             QWidget* owner)
    : QDialog(owner), m_host(host), m_prompts(prompts), m_viewName(viewName)
{
    // The captions with the widths they were drawn for, in twips.
    const TwipsLayout layout =
        TwipsLayout::fitting(font(), {{QStringLiteral("Pop. Density Theme"), 1600},
                                      {QStringLiteral("Definition Field"), 1600},
                                      {QStringLiteral("Medium"), 700},
                                      {QStringLiteral("between"), 840},
                                      {QStringLiteral("AND"), 500},
                                      {QStringLiteral("Cancel"), 975, TwipsLayout::FramePixels}});
    setObjectName(QStringLiteral("frmISPDensity"));
    setWindowTitle(QStringLiteral("Population Density Calculation"));
    setFixedSize(layout.size(6123, 3198));

    const auto label = [this, &layout](QVector<QLabel*>& array, const QString& name,
                                       const QString& text, int left, int top, int width,
                                       Qt::Alignment align) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setProperty("index", int(array.size()));
        l->setAlignment(align | Qt::AlignVCenter);
        l->setGeometry(layout.rect(left, top, width, ControlHeight));
        array << l;
        return l;
    };
    const Qt::Alignment right = Qt::AlignRight;
    const Qt::Alignment leftAlign = Qt::AlignLeft;
    label(Label1, QStringLiteral("Label1"), QStringLiteral("High"), 120, 960, 700, leftAlign);
    label(Label1, QStringLiteral("Label1"), QStringLiteral("Medium"), 120, 1440, 700, leftAlign);
    label(Label1, QStringLiteral("Label1"), QStringLiteral("Low"), 120, 1920, 700, leftAlign);
    label(Label1, QStringLiteral("Label1"), QStringLiteral("Pop. Density Theme"), 60, 120, 1600,
          right);
    label(Label1, QStringLiteral("Label1"), QStringLiteral("Definition Field"), 60, 480, 1600,
          right);
    label(Label2, QStringLiteral("Label2"), QStringLiteral(">="), 1560, 960, 420, right);
    label(Label2, QStringLiteral("Label2"), QStringLiteral("<="), 1560, 1920, 420, right);
    label(Label2, QStringLiteral("Label2"), QStringLiteral("AND"), 3900, 1440, 500,
          Qt::AlignHCenter);
    label(Label2, QStringLiteral("Label2"), QStringLiteral("between"), 1620, 1440, 840, right);

    // Created in tab order.
    cboPDenTheme = new FittedComboBox(this);
    cboPDenTheme->setObjectName(QStringLiteral("cboPDenTheme"));
    cboPDenTheme->setGeometry(layout.rect(1725, 120, 3255, ControlHeight));
    cboPDenFld = new FittedComboBox(this);
    cboPDenFld->setObjectName(QStringLiteral("cboPDenFld"));
    cboPDenFld->setGeometry(layout.rect(1725, 480, 2055, ControlHeight));
    txtHigh = new QLineEdit(this);
    txtHigh->setObjectName(QStringLiteral("txtHigh"));
    txtHigh->setGeometry(layout.rect(2040, 960, 1335, ControlHeight));
    for (int i = 0; i < 2; ++i) {
        auto* med = new QLineEdit(this);
        med->setObjectName(QStringLiteral("txtMed"));
        med->setProperty("index", i);
        med->setGeometry(layout.rect(i == 0 ? 2520 : 4440, 1440, 1335, ControlHeight));
        // Copies of the High and Low texts: not for typing, not for the focus.
        med->setEnabled(false);
        txtMed << med;
    }
    txtLow = new QLineEdit(this);
    txtLow->setObjectName(QStringLiteral("txtLow"));
    txtLow->setGeometry(layout.rect(2040, 1920, 1335, ControlHeight));
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(layout.rect(3600, 2520, 975, ButtonHeight));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(layout.rect(4920, 2520, 975, ButtonHeight));
    // Enter presses nothing by itself in this dialog; OK runs the check only when pressed.
    cmdOK->setAutoDefault(false);
    cmdCancel->setAutoDefault(false);

    connect(cboPDenTheme, &QComboBox::currentIndexChanged, this,
            &frmISPDensity::cboPDenTheme_Click);
    connect(txtHigh, &QLineEdit::textChanged, txtMed[0], &QLineEdit::setText);
    connect(txtLow, &QLineEdit::textChanged, txtMed[1], &QLineEdit::setText);
    connect(cmdOK, &QPushButton::clicked, this, &frmISPDensity::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmISPDensity::cmdCancel_Click);
}

void frmISPDensity::Form_Load()
{
    FillThemeCombo(*cboPDenTheme, m_host, HostQueries::FeatureThemes, m_viewName,
                   HostRequest::ThemeSelector::Numeric);
    if (cboPDenTheme->count() > 0) {
        // Equal to the remembered index, so the click lists nothing by itself.
        cboPDenTheme->setCurrentIndex(0);
        intLastPDenTheme = 0;
        FillFieldCombo(*cboPDenFld, m_host, cboPDenTheme->currentText(), m_viewName,
                       HostRequest::ThemeSelector::Numeric);
    }
}

void frmISPDensity::cboPDenTheme_Click(int index)
{
    if (index == intLastPDenTheme || index < 0) {
        return;
    }
    FillFieldCombo(*cboPDenFld, m_host, cboPDenTheme->currentText(), m_viewName,
                   HostRequest::ThemeSelector::Numeric);
    intLastPDenTheme = index;
}

bool frmISPDensity::ValidatePopDensity()
{
    QString message;
    if (cboPDenTheme->currentIndex() < 0) {
        message = QStringLiteral(
            "No Population Density theme selected, please select from dropdown list.");
    } else if (cboPDenFld->currentIndex() < 0) {
        message = QStringLiteral(
            "No Populaiton Density field selected, please select from dropdown list.");
    } else {
        switch (checkDensityThresholds(txtHigh->text(), txtLow->text())) {
        case DensityCheck::Ok:
            return true;
        case DensityCheck::HighNotNumber:
        case DensityCheck::LowNotNumber:
            message = QStringLiteral("Numeric value must be entered in field.");
            break;
        case DensityCheck::LowAboveHigh:
            message = QStringLiteral(
                "Population density \"Low\" value must be less than the \"High\" value.");
            break;
        }
    }
    m_prompts.message(message, QString(), Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
    return false;
}

void frmISPDensity::showModal()
{
    setWindowModality(Qt::ApplicationModal);
    show();
    raise();
    activateWindow();
}

void frmISPDensity::cmdOK_Click()
{
    if (ValidatePopDensity()) {
        hide();
    }
}

void frmISPDensity::cmdCancel_Click()
{
    unload();
}

void frmISPDensity::reject()
{
    unload();
}

void frmISPDensity::unload()
{
    if (m_unloading) {
        return;
    }
    m_unloading = true;
    hide();
    emit unloaded();
    deleteLater();
}

QString frmISPDensity::themeText() const
{
    return cboPDenTheme->currentText();
}

QString frmISPDensity::fieldText() const
{
    return cboPDenFld->currentText();
}

QString frmISPDensity::highText() const
{
    return txtHigh->text();
}

QString frmISPDensity::medText(int index) const
{
    return txtMed.value(index) ? txtMed.value(index)->text() : QString();
}

QString frmISPDensity::lowText() const
{
    return txtLow->text();
}
