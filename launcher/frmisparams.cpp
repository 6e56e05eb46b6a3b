#include "launcher/frmisparams.h"

#include "hostlink/clientlink.h"
#include "hostlink/hostlink.h"
#include "launcher/combofill.h"
#include "launcher/frmispdensity.h"
#include "model/store.h"
#include "shared_windows/fittedcombobox.h"
#include "shared_windows/frmhelpbrowser2.h"
#include "shared_windows/frmisprocessing.h"
#include "shared_windows/prompts.h"
#include "shared_windows/twips.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>

namespace {

constexpr int ListHeight = 315;
constexpr int TextHeight = 315;
constexpr int ButtonHeight = 375;
constexpr int RowHeight = 315;

template <typename W> W* named(W* widget, const char* name, int index = -1)
{
    widget->setObjectName(QLatin1String(name));
    if (index >= 0) {
        widget->setProperty("index", index);
    }
    return widget;
}

QLabel* label(const TwipsLayout& layout, QWidget* parent, const QString& text, int left, int top,
              int width)
{
    auto* l = new QLabel(text, parent);
    l->setGeometry(layout.rect(left, top, width, ListHeight));
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return l;
}

QComboBox* list(const TwipsLayout& layout, QWidget* parent, const char* name, int left, int top,
                int width)
{
    auto* c = named(new FittedComboBox(parent), name);
    c->setGeometry(layout.rect(left, top, width, ListHeight));
    return c;
}

QPushButton* button(const TwipsLayout& layout, QWidget* parent, const char* name,
                    const QString& text, int left, int top, int width)
{
    auto* b = named(new QPushButton(text, parent), name);
    b->setGeometry(layout.rect(left, top, width, ButtonHeight));
    return b;
}

// Focus lost for good, not because another window came to the front for a while (a message
// box, a file dialog, another program).
bool isLostFocus(QEvent* event)
{
    if (event->type() != QEvent::FocusOut) {
        return false;
    }
    const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

// The captions with the widths they were drawn for, in twips.
QVector<TwipsLayout::Text> layoutTexts()
{
    constexpr int Mark = TwipsLayout::MarkPixels;
    constexpr int Frame = TwipsLayout::FramePixels;
    return {{QStringLiteral("Land Cover Grid"), 1400},
            {QStringLiteral("Land Cover Grid Units"), 1640},
            {QStringLiteral("Analysis Theme"), 1400},
            {QStringLiteral("Analysis Field"), 1640},
            {QStringLiteral("Coefficient Set"), 1280},
            {QStringLiteral("Which Coefficient?"), 1640},
            {QStringLiteral("High"), 1100, Mark},
            {QStringLiteral("Medium"), 1100, Mark},
            {QStringLiteral("Low"), 1100, Mark},
            {QStringLiteral("Calculate"), 1080, Mark},
            {QStringLiteral("Output Shapefile"), 1400},
            {QStringLiteral("Theme Name"), 1400},
            {QStringLiteral("Browse..."), 855, Frame},
            {QStringLiteral("Delete..."), 855, Frame},
            {QStringLiteral("Apply"), 615},
            {QStringLiteral("Change land cover classes within"), 2415},
            {QStringLiteral("theme to"), 720}};
}

} // namespace

frmISParams::frmISParams(const QString& storePath, Prompts& prompts, ClientLink& link,
                         QWidget* parent)
    : QWidget(parent), m_storePath(storePath), m_prompts(prompts), m_link(link),
      m_host(link, prompts, &frmISProcessing::paintNotice), m_timeoutTenths(link.timeout()),
      m_layout(TwipsLayout::fitting(font(), layoutTexts()))
{
    setObjectName(QStringLiteral("frmISParams"));
    setWindowTitle(QStringLiteral("Tarnwick"));
    setFixedSize(m_layout.size(8775, 7202));

    // Created in tab order: lists, options and boxes from top to bottom, Run, Quit, Help,
    // then the scenario controls.
    label(m_layout, this, QStringLiteral("Land Cover Grid"), 120, 240, 1400);
    cboLCTheme = list(m_layout, this, "cboLCTheme", 1560, 240, 3255);
    label(m_layout, this, QStringLiteral("Land Cover Grid Units"), 4920, 240, 1640);
    cboLCUnits = list(m_layout, this, "cboLCUnits", 6600, 240, 2150);
    label(m_layout, this, QStringLiteral("Analysis Theme"), 120, 675, 1400);
    cboAnalysisTheme = list(m_layout, this, "cboAnalysisTheme", 1560, 675, 3255);
    label(m_layout, this, QStringLiteral("Analysis Field"), 4920, 675, 1640);
    cboAnalysisUnit = list(m_layout, this, "cboAnalysisUnit", 6600, 675, 2150);

    fraPopDensity = named(new QGroupBox(QStringLiteral("Coefficients"), this), "fraPopDensity");
    fraPopDensity->setGeometry(m_layout.rect(120, 1050, 6375, 1200));
    label(m_layout, fraPopDensity, QStringLiteral("Coefficient Set"), 120, 270, 1280);
    cboLCType = list(m_layout, fraPopDensity, "cboLCType", 1440, 270, 2200);
    label(m_layout, fraPopDensity, QStringLiteral("Which Coefficient?"), 120, 765, 1640);
    optPopDensityGroup = new QButtonGroup(this);
    optPopDensityGroup->setExclusive(true);
    const QStringList options = {QStringLiteral("High"), QStringLiteral("Medium"),
                                 QStringLiteral("Low"), QStringLiteral("Calculate")};
    const int optionLeft[] = {1800, 2880, 4200, 5250};
    for (int i = 0; i < options.size(); ++i) {
        auto* opt = named(new QRadioButton(options.at(i), fraPopDensity), "optPopDensity", i);
        opt->setGeometry(m_layout.rect(optionLeft[i], 765, i == 3 ? 1080 : 1100, ListHeight));
        optPopDensityGroup->addButton(opt, i);
        optPopDensity << opt;
    }
    optPopDensity[3]->installEventFilter(this);

    label(m_layout, this, QStringLiteral("Output Shapefile"), 120, 2400, 1400);
    txtOutputTheme = named(new QLineEdit(this), "txtOutputTheme");
    txtOutputTheme->setGeometry(m_layout.rect(1560, 2400, 4335, TextHeight));
    txtOutputTheme->installEventFilter(this);
    cmdOutputBrowse =
        button(m_layout, this, "cmdOutputBrowse", QStringLiteral("Browse..."), 6000, 2370, 855);
    cmdOutputBrowse->installEventFilter(this);
    label(m_layout, this, QStringLiteral("Theme Name"), 120, 2800, 1400);
    txtThemeName = named(new QLineEdit(this), "txtThemeName");
    txtThemeName->setGeometry(m_layout.rect(1560, 2800, 2895, TextHeight));

    cmdISRun = button(m_layout, this, "cmdISRun", QStringLiteral("Run"), 5880, 6600, 1215);
    cmdISQuit = button(m_layout, this, "cmdISQuit", QStringLiteral("Quit"), 7320, 6600, 1215);
    cmdISHelp = button(m_layout, this, "cmdISHelp", QStringLiteral("Help"), 240, 6600, 1215);
    // Where the link to the host lived; kept hidden so the window reads as it always did.
    txtAvParamStr = named(new QLineEdit(this), "txtAvParamStr");
    txtAvParamStr->setGeometry(m_layout.rect(2040, 6600, 1215, TextHeight));
    txtAvParamStr->hide();

    buildScenarioFrame();

    connect(cboAnalysisTheme, &QComboBox::currentIndexChanged, this,
            &frmISParams::cboAnalysisTheme_Click);
    connect(cmdOutputBrowse, &QPushButton::clicked, this, &frmISParams::cmdOutputBrowse_Click);
    connect(cmdISRun, &QPushButton::clicked, this, &frmISParams::cmdISRun_Click);
    connect(cmdISQuit, &QPushButton::clicked, this, &frmISParams::cmdISQuit_Click);
    connect(cmdISHelp, &QPushButton::clicked, this, &frmISParams::cmdISHelp_Click);
    connect(cmdDSAdd, &QPushButton::clicked, this, &frmISParams::cmdDSAdd_Click);
    connect(cmdDSDelete, &QPushButton::clicked, this, &frmISParams::cmdDSDelete_Click);
    connect(VScroll1, &QScrollBar::valueChanged, this, &frmISParams::VScroll1_Change);
}

frmISParams::~frmISParams()
{
    // The notice is this window's child; forget it before it goes with the window.
    frmISProcessing::closeNotice();
}

void frmISParams::buildScenarioFrame()
{
    fraDSMain =
        named(new QGroupBox(QStringLiteral("Land Cover Change Scenarios"), this), "fraDSMain");
    fraDSMain->setGeometry(m_layout.rect(120, 3240, 8550, 3200));
    lblDSApply = named(new QLabel(QStringLiteral("Apply"), fraDSMain), "lblDSApply");
    lblDSApply->setGeometry(m_layout.rect(105, 260, 615, 255));
    lblDSApply->hide();

    cmdDSAdd = button(m_layout, fraDSMain, "cmdDSAdd", QStringLiteral("Add"), 6360, 2760, 855);
    cmdDSDelete =
        button(m_layout, fraDSMain, "cmdDSDelete", QStringLiteral("Delete..."), 7440, 2760, 855);

    fraDSContainer = named(new QWidget(fraDSMain), "fraDSContainer");
    fraDSContainer->setGeometry(m_layout.rect(40, 470, 8480, ScenarioLayout::ContainerHeight));
    fraDSItems = named(new QWidget(fraDSContainer), "fraDSItems");
    fraDSItems->setGeometry(m_layout.rect(0, 0, 8200, ScenarioLayout::ContainerHeight));
    VScroll1 = named(new QScrollBar(Qt::Vertical, fraDSContainer), "VScroll1");
    VScroll1->setGeometry(
        m_layout.rect(8240, ScenarioLayout::ScrollTop, 255, ScenarioLayout::ScrollHeight));
    VScroll1->hide();

    createScenarioRow(0);
    m_scenarioRows[0].setVisible(false);
}

QVector<QWidget*> frmISParams::ScenarioRow::widgets() const
{
    return {chkDSApply, lblDSNum, lblDSLabel1, cboDSTheme, lblDSLabel2, cboDSToClass};
}

void frmISParams::ScenarioRow::setVisible(bool visible) const
{
    for (QWidget* w : widgets()) {
        w->setVisible(visible);
    }
}

void frmISParams::createScenarioRow(int i)
{
    const int step = i * ScenarioLayout::RowStep;
    auto* chk = named(new QCheckBox(fraDSItems), "chkDSApply", i);
    chk->setGeometry(m_layout.rect(120, 30 + step, 255, RowHeight));
    chk->setChecked(true);
    auto* num =
        named(new QLabel(QString::number(i + 1) + QLatin1Char('.'), fraDSItems), "lblDSNum", i);
    num->setGeometry(m_layout.rect(450, ScenarioLayout::NumberTop + step, 330, 255));
    auto* l1 = named(new QLabel(QStringLiteral("Change land cover classes within"), fraDSItems),
                     "lblDSLabel1", i);
    l1->setGeometry(m_layout.rect(810, ScenarioLayout::NumberTop + step, 2415, 255));
    auto* theme = named(new FittedComboBox(fraDSItems), "cboDSTheme", i);
    theme->setGeometry(m_layout.rect(3240, 60 + step, 2150, RowHeight));
    auto* l2 = named(new QLabel(QStringLiteral("theme to"), fraDSItems), "lblDSLabel2", i);
    l2->setGeometry(m_layout.rect(5430, ScenarioLayout::NumberTop + step, 720, 255));
    auto* cls = named(new FittedComboBox(fraDSItems), "cboDSToClass", i);
    cls->setGeometry(m_layout.rect(6180, 60 + step, 2000, RowHeight));
    m_scenarioRows << ScenarioRow{chk, num, l1, theme, l2, cls};
}

bool frmISParams::Form_Load()
{
    intLastScenario = -1;
    cmdDSDelete->setEnabled(false);

    objModelProps = clsISModelProperties();
    StoreLoadResult loaded;
    if (!LoadModelXML(objModelProps, m_storePath, &loaded)) {
        objModelProps = clsISModelProperties();
        m_prompts.message(
            storeLoadFailureMessage(launcherLoadFailureMessage(), m_storePath, loaded),
            Prompts::Icon::Critical, Prompts::Buttons::OkCancel);
        return false;
    }

    m_storeBytes = loaded.fileBytes;
    m_link.setTimeout(m_timeoutTenths);

    strViewName = m_host.GetActiveViewName();
    if (m_host.hostMissing()) {
        m_prompts.message(m_host.hostMissingMessage(), Prompts::Icon::Critical,
                          Prompts::Buttons::Ok);
        return false;
    }

    FillThemeCombo(*cboLCTheme, m_host, HostQueries::GridThemes, strViewName,
                   HostRequest::ThemeSelector::Any);
    if (cboLCTheme->count() == 0) {
        m_prompts.message(
            QStringLiteral("No grids themes found in the '") + strViewName +
                QStringLiteral("' view.\r\nPlease add a land cover grid to the view."),
            Prompts::Icon::Critical, Prompts::Buttons::Ok);
        return false;
    }
    cboLCTheme->setCurrentIndex(0);

    FillThemeCombo(*cboAnalysisTheme, m_host, HostQueries::FeatureThemes, strViewName,
                   HostRequest::ThemeSelector::StringOrInteger);
    if (cboAnalysisTheme->count() == 0) {
        m_prompts.message(
            QStringLiteral("No polygon feature themes in the '") + strViewName +
                QStringLiteral("' view that contain at least one string or integer type "
                               "attribute. \r\nPlease add a theme or edit an existing themes "
                               "attribute table in the view."),
            Prompts::Icon::Critical, Prompts::Buttons::Ok);
        return false;
    }
    // The remembered index is already 0, so this selection lists nothing by itself.
    cboAnalysisTheme->setCurrentIndex(0);
    intLastAnalysisTheme = 0;

    FillFieldCombo(*cboAnalysisUnit, m_host, cboAnalysisTheme->currentText(), strViewName,
                   HostRequest::ThemeSelector::StringOrInteger);

    {
        const QSignalBlocker blocker(cboLCType);
        FillLCTypeCombo(*cboLCType, objModelProps);
        // A store without sets leaves nothing to select; Run then reports the missing set.
        cboLCType->setCurrentIndex(cboLCType->count() > 0 ? 0 : -1);
    }

    const QStringList units = {QStringLiteral("Meters"), QStringLiteral("Feet")};
    setComboEntries(*cboLCUnits, units);
    const int unit = m_host.viewUnitsIndex(units, strViewName);
    if (unit >= 0) {
        cboLCUnits->setCurrentIndex(unit);
    }
    return true;
}

bool frmISParams::HandleHostCommand(const QString& command)
{
    if (m_unloaded) {
        return false;
    }
    if (HostLink::isCommand(command, HostLink::CmdView)) {
        showNormal();
        raise();
        activateWindow();
        m_link.setTimeout(m_timeoutTenths);
        return true;
    }
    if (HostLink::isCommand(command, HostLink::CmdQuit)) {
        close();
        return true;
    }
    if (HostLink::isCommand(command, HostLink::CmdExit)) {
        // A message box waiting for an answer is the user's to finish first; the density
        // dialog is not a question, Quit unloads it.
        QWidget* open = QApplication::activeModalWidget();
        if (open && open != m_density) {
            open->raise();
            open->activateWindow();
            return false;
        }
        cmdISQuit_Click();
        if (frmHelpBrowser2* help = frmHelpBrowser2::current()) {
            help->close();
        }
        return true;
    }
    if (HostLink::isCommand(command, HostLink::CmdShowCancel)) {
        frmISProcessing* notice = frmISProcessing::current();
        if (!notice) {
            return false;
        }
        notice->offerCancel();
        return true;
    }
    if (HostLink::isCommand(command, HostLink::CmdCloseProcFrm)) {
        frmISProcessing::closeNotice();
        return true;
    }
    if (HostLink::isCommand(command, HostLink::CmdHide)) {
        hide();
        frmISProcessing::hideNotice();
        return true;
    }
    if (HostLink::isCommand(command, HostLink::CmdUnhide)) {
        showNormal();
        raise();
        activateWindow();
        // Shows the notice only while a run is under way; none is created.
        frmISProcessing::reshowNotice();
        return true;
    }
    return false;
}

void frmISParams::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (!m_unloaded) {
        m_unloaded = true;
        emit unloaded();
    }
}

// ---- Parameter form -------------------------------------------------------------------------

void frmISParams::cboAnalysisTheme_Click(int index)
{
    if (index == intLastAnalysisTheme) {
        return;
    }
    FillFieldCombo(*cboAnalysisUnit, m_host, cboAnalysisTheme->currentText(), strViewName,
                   HostRequest::ThemeSelector::StringOrInteger);
    intLastAnalysisTheme = index;
}

bool frmISParams::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == optPopDensity.value(3) && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (optPopDensity[3]->rect().contains(mouse->position().toPoint())) {
            optPopDensity_MouseUp(3);
        }
    } else if (watched == txtOutputTheme && isLostFocus(event)) {
        txtOutputTheme_LostFocus();
    } else if (watched == cmdOutputBrowse && isLostFocus(event)) {
        cmdOutputBrowse_LostFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void frmISParams::optPopDensity_MouseUp(int index)
{
    if (index != 3) {
        return;
    }
    // The button sets itself when the release reaches it; the dialog needs it set now.
    optPopDensity[3]->setChecked(true);
    PDensity()->showModal();
}

void frmISParams::txtOutputTheme_LostFocus()
{
    const QString text = outputWithShpSuffix(txtOutputTheme->text());
    txtOutputTheme->setText(text);
    QString name = txtThemeName->text();
    if (SetThemeNameFromPath(strLastOutput, text, name)) {
        txtThemeName->setText(name);
    }
    strLastOutput = text;
}

void frmISParams::cmdOutputBrowse_Click()
{
    Prompts::FileRequest request;
    request.title = QStringLiteral("Select Output Shapefile");
    request.filter = QStringLiteral("Shapefile (*.shp)|*.shp");
    request.options = Prompts::FileOption::ConfirmOverwrite;
    // Where the output goes unless the user names another folder.
    request.directory = m_host.workDirFolder();
    const QString path = m_prompts.saveFile(request);
    if (!path.isEmpty()) {
        txtOutputTheme->setText(path.trimmed());
    }
}

void frmISParams::cmdOutputBrowse_LostFocus()
{
    const QString text = txtOutputTheme->text();
    QString name = txtThemeName->text();
    if (SetThemeNameFromPath(strLastOutput, text, name)) {
        txtThemeName->setText(name);
    }
    strLastOutput = text;
}

void frmISParams::cmdISHelp_Click()
{
    frmHelpBrowser2::showHelp(m_prompts, nullptr, frmHelpBrowser2::standardHelpPath(), m_storePath);
}

void frmISParams::cmdISQuit_Click()
{
    if (m_density) {
        m_density->unload();
    }
    close();
}

frmISPDensity* frmISParams::PDensity()
{
    if (!m_density) {
        m_density = new frmISPDensity(m_host, m_prompts, strViewName, this);
        connect(m_density, &frmISPDensity::unloaded, this, [this] { m_density = nullptr; });
        m_density->Form_Load();
    }
    return m_density;
}

frmISPDensity* frmISParams::loadedPDensity() const
{
    return m_density;
}

bool frmISParams::fault(QWidget* control, const QString& message)
{
    control->setFocus();
    m_prompts.message(message, QString(), Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
    return false;
}

bool frmISParams::ValidateParams(int lastScenario)
{
    if (cboAnalysisTheme->currentIndex() < 0) {
        return fault(cboAnalysisTheme, QStringLiteral("No Analysis theme selected, please select "
                                                      "from dropdown list."));
    }
    if (cboLCTheme->currentIndex() < 0) {
        return fault(cboLCTheme, QStringLiteral("No Land Cover theme selected, please select "
                                                "from dropdown list."));
    }
    if (cboLCUnits->currentIndex() < 0) {
        return fault(cboLCUnits, QStringLiteral("Land Cover units not defined, please select "
                                                "from dropdown list."));
    }
    if (cboLCType->currentIndex() < 0) {
        return fault(cboLCType, QStringLiteral("Land Cover Type not defined, please select from "
                                               "dropdown list."));
    }
    if (cboAnalysisUnit->currentIndex() < 0) {
        return fault(cboAnalysisUnit, QStringLiteral("Analysis unit not defined, please select "
                                                     "from dropdown list."));
    }
    const int option = optPopDensityGroup->checkedId();
    if (option < 0) {
        return fault(optPopDensity[0],
                     QStringLiteral("Population Density option not defined, please select "
                                    "option."));
    }
    if (option == ModelParams::Calculate) {
        frmISPDensity* density = PDensity();
        if (!density->ValidatePopDensity()) {
            density->showModal();
            return false;
        }
    }
    if (txtOutputTheme->text().isEmpty()) {
        return fault(txtOutputTheme,
                     QStringLiteral("Output Theme not defined, please enter a name."));
    }
    for (int i = 0; i <= lastScenario && i < m_scenarioRows.size(); ++i) {
        const ScenarioRow& row = m_scenarioRows[i];
        if (!row.chkDSApply->isChecked()) {
            continue;
        }
        if (row.cboDSTheme->currentIndex() < 0) {
            return fault(row.cboDSTheme, QStringLiteral("No theme selected, please select from "
                                                        "dropdown list."));
        }
        if (row.cboDSToClass->currentIndex() < 0) {
            return fault(row.cboDSToClass, QStringLiteral("No class selected, please select "
                                                          "from dropdown list."));
        }
    }
    return true;
}

// ---- Parameter file and run -----------------------------------------------------------------

ModelParams frmISParams::currentParams(int lastScenario)
{
    ModelParams params;
    params.view = strViewName;
    params.lcTheme = cboLCTheme->currentText();
    params.lcUnits = cboLCUnits->currentText() == QLatin1String("Feet")
                         ? ModelParams::Units::Feet
                         : ModelParams::Units::Meters;
    params.analysisTheme = cboAnalysisTheme->currentText();
    params.analysisUnit = cboAnalysisUnit->currentText();
    // The first option that is set, from 0 upwards.
    params.popDensity = qMax(0, optPopDensityGroup->checkedId());
    if (params.popDensity == ModelParams::Calculate) {
        frmISPDensity* density = PDensity();
        params.popDensityTheme = density->themeText();
        params.popDensityField = density->fieldText();
        params.popDensityHighText = density->highText();
        params.popDensityMedText[0] = density->medText(0);
        params.popDensityMedText[1] = density->medText(1);
        params.popDensityLowText = density->lowText();
    }
    params.outTheme = txtOutputTheme->text();
    params.outThemeName = txtThemeName->text();
    for (int i = 0; i <= lastScenario && i < m_scenarioRows.size(); ++i) {
        const ScenarioRow& row = m_scenarioRows[i];
        if (!row.chkDSApply->isChecked()) {
            continue;
        }
        ModelParams::Scenario line;
        line.number = i + 1;
        line.theme = row.cboDSTheme->currentText();
        line.className = row.cboDSToClass->currentText();
        line.classId = row.cboDSToClass->currentData().toInt();
        params.scenarios << line;
    }
    if (cboLCType->currentIndex() >= 0) {
        params.classes = ModelParams::classesOf(objModelProps, cboLCType->currentText());
    }
    return params;
}

bool frmISParams::WriteModelParams(const QString& directory, const QString& fileName,
                                   int lastScenario)
{
    if (directory.isEmpty() || !QFileInfo(directory).isDir()) {
        m_prompts.message(QStringLiteral("Working directory (") + directory +
                          QStringLiteral(") defined in ArcView project does not exist."));
        return false;
    }
    if (!ReloadChangedStore()) {
        return false;
    }
    QString error;
    const QByteArray bytes = currentParams(lastScenario).toBytes();
    if (!writeFileAtomically(directory + fileName, bytes, &error)) {
        m_prompts.message(QStringLiteral("The parameter file %1 could not be written in the "
                                         "working directory (%2):\n%3")
                              .arg(fileName, directory, error),
                          Prompts::Icon::Critical, Prompts::Buttons::Ok);
        return false;
    }
    return true;
}

bool frmISParams::ReloadChangedStore()
{
    // The editor may have applied changes since start-up; a run must not use the old values.
    QByteArray now;
    QString error;
    if (readFileBytes(m_storePath, &now, &error) && now == m_storeBytes) {
        return true;
    }
    clsISModelProperties fresh;
    StoreLoadResult loaded;
    if (!LoadModelXML(fresh, m_storePath, &loaded)) {
        m_prompts.message(QStringLiteral("The coefficient sets in %1 were changed since the "
                                         "launcher read them, and they cannot be read now:\n%2")
                              .arg(m_storePath, loaded.describe(m_storePath)),
                          Prompts::Icon::Critical, Prompts::Buttons::Ok);
        return false;
    }
    const QString chosen = cboLCType->currentText();
    const QVector<ModelParams::LCClass> before = ModelParams::classesOf(objModelProps, chosen);
    objModelProps = fresh;
    m_storeBytes = loaded.fileBytes;
    const QSignalBlocker blocker(cboLCType);
    FillLCTypeCombo(*cboLCType, objModelProps);
    cboLCType->setCurrentIndex(cboLCType->findText(chosen, Qt::MatchExactly));
    if (cboLCType->currentIndex() < 0) {
        cboLCType->setFocus();
        m_prompts.message(QStringLiteral("The coefficient set %1 is no longer in the store: the "
                                         "sets were changed since the launcher read them. Choose "
                                         "a coefficient set, then Run again.")
                              .arg(chosen),
                          Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
        return false;
    }
    if (ModelParams::classesOf(objModelProps, chosen) != before) {
        m_prompts.message(QStringLiteral("The coefficient set %1 was changed since the launcher "
                                         "read it. This run uses its coefficients as they are "
                                         "now.")
                              .arg(chosen),
                          Prompts::Icon::Information, Prompts::Buttons::Ok);
    }
    return true;
}

void frmISParams::cmdISRun_Click()
{
    if (!ValidateParams(intLastScenario)) {
        return;
    }
    connect(frmISProcessing::showNotice(this), &frmISProcessing::cancelClicked, this,
            &frmISParams::cmdCancel_Click, Qt::UniqueConnection);
    QString directory = m_host.GetWorkDir();
    if (!WriteModelParams(directory, ModelParams::FileName, intLastScenario)) {
        frmISProcessing::closeNotice();
        return;
    }
    directory = m_host.GetWorkDir();
    if (directory.isEmpty()) {
        // Its message has been shown; a request naming no folder would name no file.
        frmISProcessing::closeNotice();
        return;
    }
    QString failure;
    m_runParams = directory + ModelParams::FileName;
    if (!m_host.RunModel(directory, ModelParams::FileName, &failure)) {
        frmISProcessing::closeNotice();
        m_prompts.message(failure, Prompts::Icon::Critical, Prompts::Buttons::Ok);
    }
}

void frmISParams::cmdCancel_Click()
{
    frmISProcessing* notice = frmISProcessing::current();
    if (!notice) {
        return;
    }
    notice->setCancelEnabled(false);
    QString failure;
    if (m_host.CancelModel(m_runParams, &failure)) {
        return; // the host closes the notice once the run has stopped
    }
    m_prompts.message(failure, Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
    if (frmISProcessing* still = frmISProcessing::current()) {
        still->setCancelEnabled(true);
    }
}

// ---- Scenarios ------------------------------------------------------------------------------

void frmISParams::cmdDSAdd_Click()
{
    if (cboLCType->currentIndex() < 0) {
        m_prompts.message(QStringLiteral("No Land Cover Type defined, please select from the "
                                         "dropdown list before adding Development Scenarios"),
                          QString(), Prompts::Icon::Exclamation, Prompts::Buttons::Ok);
        cboLCType->setFocus();
        return;
    }
    ++intLastScenario;
    AddScenarioRow(intLastScenario);
    setItemsHeight(ScenarioItemsHeight(intLastScenario));
    UpdateScenarioScroll(ScenarioItemsHeight(intLastScenario));
    cmdDSDelete->setEnabled(true);
}

void frmISParams::AddScenarioRow(int index)
{
    if (index == 0) {
        const ScenarioRow& first = m_scenarioRows[0];
        lblDSApply->show();
        first.setVisible(true);
        first.chkDSApply->setChecked(true);
        FillThemeCombo(*first.cboDSTheme, m_host, HostQueries::FeatureThemes, strViewName,
                       HostRequest::ThemeSelector::Any);
        FillClassCombo(*first.cboDSToClass, objModelProps, cboLCType->currentText());
        return;
    }
    createScenarioRow(index);
    const ScenarioRow& first = m_scenarioRows[0];
    const ScenarioRow& row = m_scenarioRows[index];
    for (int i = 0; i < first.cboDSTheme->count(); ++i) {
        row.cboDSTheme->addItem(first.cboDSTheme->itemText(i));
    }
    for (int i = 0; i < first.cboDSToClass->count(); ++i) {
        row.cboDSToClass->addItem(first.cboDSToClass->itemText(i), first.cboDSToClass->itemData(i));
    }
    row.cboDSTheme->setCurrentIndex(-1);
    row.cboDSToClass->setCurrentIndex(-1);
    row.setVisible(true);
}

void frmISParams::cmdDSDelete_Click()
{
    if (intLastScenario < 0) {
        return;
    }
    const QString answer = m_prompts.input(QStringLiteral("Enter number of scenario to delete:"),
                                           QStringLiteral("Delete Scenario"));
    if (answer.isEmpty()) {
        return;
    }
    int index = -1;
    if (!scenarioIndexFromAnswer(answer, intLastScenario + 1, &index)) {
        m_prompts.message(QStringLiteral("Invalid scenario number"), Prompts::Icon::Exclamation,
                          Prompts::Buttons::Ok);
        return;
    }
    DeleteScenarioRow(index, intLastScenario);
    --intLastScenario;
    setItemsHeight(ScenarioItemsHeight(intLastScenario));
    UpdateScenarioScroll(ScenarioItemsHeight(intLastScenario));
    cmdDSDelete->setEnabled(intLastScenario >= 0);
}

void frmISParams::DeleteScenarioRow(int index, int last)
{
    if (last == 0) {
        lblDSApply->hide();
        m_scenarioRows[0].setVisible(false);
        return;
    }
    QVector<ScenarioRowState> states;
    for (int i = 0; i <= last; ++i) {
        const ScenarioRow& row = m_scenarioRows[i];
        states << ScenarioRowState{row.chkDSApply->isChecked(), row.cboDSTheme->currentIndex(),
                                   row.cboDSToClass->currentIndex()};
    }
    deleteScenarioRowState(states, index);
    for (int i = index; i < last; ++i) {
        const ScenarioRow& row = m_scenarioRows[i];
        row.chkDSApply->setChecked(states[i].ticked);
        row.cboDSTheme->setCurrentIndex(states[i].theme);
        row.cboDSToClass->setCurrentIndex(states[i].toClass);
    }
    qDeleteAll(m_scenarioRows.takeLast().widgets());
}

void frmISParams::setItemsHeight(int itemsHeight)
{
    fraDSItems->resize(fraDSItems->width(), m_layout.px(itemsHeight));
}

void frmISParams::UpdateScenarioScroll(int itemsHeight)
{
    const ScenarioScroll scroll = scenarioScrollFor(itemsHeight);
    if (!scroll.visible) {
        // Rows scrolled out of sight would stay there with no bar to bring them back.
        VScroll1->setValue(0);
        VScroll1->hide();
        return;
    }
    VScroll1->setRange(0, scroll.maximum);
    VScroll1->setPageStep(scroll.largeChange);
    VScroll1->setSingleStep(scroll.smallChange);
    VScroll1->show();
}

void frmISParams::VScroll1_Change(int value)
{
    fraDSItems->move(fraDSItems->x(), -m_layout.px(value));
}
