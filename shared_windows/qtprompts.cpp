#include "shared_windows/qtprompts.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStringList>

#include <utility>

QtPrompts::QtPrompts(QString programTitle, QWidget* dialogParent)
    : Prompts(std::move(programTitle)), m_dialogParent(dialogParent)
{
}

namespace {

QString qtFilterPair(const QString& description, const QString& patterns)
{
    QStringList list;
    for (const QString& pattern : patterns.split(QLatin1Char(';'))) {
        const QString trimmed = pattern.trimmed();
        if (!trimmed.isEmpty()) {
            list << trimmed;
        }
    }
    // Qt reads the patterns from the last bracket of the filter only, so a description
    // that carries its own "(*.txt;*.csv)" loses it in favour of the real list.
    static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    QString name = description;
    name.remove(trailingPatterns);
    name = name.trimmed();
    const QString joined = list.join(QLatin1Char(' '));
    if (name.isEmpty()) {
        return joined;
    }
    if (joined.isEmpty()) {
        return description.trimmed();
    }
    return name + QStringLiteral(" (") + joined + QLatin1Char(')');
}

QMessageBox::Icon qtIcon(Prompts::Icon icon)
{
    switch (icon) {
    case Prompts::Icon::Critical:
        return QMessageBox::Critical;
    case Prompts::Icon::Exclamation:
        return QMessageBox::Warning;
    case Prompts::Icon::Information:
        return QMessageBox::Information;
    case Prompts::Icon::Question:
        return QMessageBox::Question;
    case Prompts::Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons qtButtons(Prompts::Buttons buttons)
{
    switch (buttons) {
    case Prompts::Buttons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case Prompts::Buttons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case Prompts::Buttons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case Prompts::Buttons::Ok:
        break;
    }
    return QMessageBox::Ok;
}

} // namespace

QString QtPrompts::qtNameFilter(const QString& classicFilter)
{
    const QStringList parts = classicFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i < parts.size(); i += 2) {
        const QString patterns = i + 1 < parts.size() ? parts.at(i + 1) : QString();
        const QString filter = qtFilterPair(parts.at(i), patterns);
        if (!filter.isEmpty()) {
            filters << filter;
        }
    }
    return filters.join(QStringLiteral(";;"));
}

Prompts::Button QtPrompts::showMessage(const QString& text, const QString& title, Icon icon,
                                       Buttons buttons)
{
    // Texts join their lines with CR LF; a label breaks at LF and would show the CR.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(qtIcon(icon), title, shown, qtButtons(buttons), m_dialogParent);
    box.setTextFormat(Qt::PlainText);
    // The first button is the default one, as in the classic message box.
    box.setDefaultButton(buttons == Buttons::Ok || buttons == Buttons::OkCancel ? QMessageBox::Ok
                                                                                : QMessageBox::Yes);
    switch (box.exec()) {
    case QMessageBox::Ok:
        return Button::Ok;
    case QMessageBox::Yes:
        return Button::Yes;
    case QMessageBox::No:
        return Button::No;
    case QMessageBox::Cancel:
        return Button::Cancel;
    default:
        return escapeButton(buttons);
    }
}

QString QtPrompts::showInput(const QString& prompt, const QString& title)
{
    QInputDialog dialog(m_dialogParent);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setTextValue(QString());
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    return dialog.textValue();
}

QString QtPrompts::showFileDialog(FileDialog kind, const FileRequest& request)
{
    QFileDialog dialog(m_dialogParent, request.title);
    dialog.setNameFilter(qtNameFilter(request.filter));
    if (!request.directory.isEmpty()) {
        dialog.setDirectory(request.directory);
    }
    QString suffix = request.defaultSuffix;
    if (suffix.startsWith(QLatin1Char('.'))) {
        suffix.remove(0, 1);
    }
    dialog.setDefaultSuffix(suffix);
    if (kind == FileDialog::Save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite,
                         !request.options.testFlag(FileOption::ConfirmOverwrite));
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(request.options.testFlag(FileOption::MustExist)
                               ? QFileDialog::ExistingFile
                               : QFileDialog::AnyFile);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    return dialog.selectedFiles().value(0);
}
