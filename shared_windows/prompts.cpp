#include "shared_windows/prompts.h"

#include <utility>

Prompts::Prompts(QString programTitle) : m_programTitle(std::move(programTitle)) {}

Prompts::~Prompts() = default;

Prompts::Button Prompts::message(const QString& text, Icon icon, Buttons buttons)
{
    return showMessage(text, m_programTitle, icon, buttons);
}

Prompts::Button Prompts::message(const QString& text, const QString& title, Icon icon,
                                 Buttons buttons)
{
    return showMessage(text, title, icon, buttons);
}

QString Prompts::input(const QString& prompt)
{
    return showInput(prompt, m_programTitle);
}

QString Prompts::input(const QString& prompt, const QString& title)
{
    return showInput(prompt, title);
}

QString Prompts::openFile(const FileRequest& request)
{
    return showFileDialog(FileDialog::Open, request);
}

QString Prompts::saveFile(const FileRequest& request)
{
    return showFileDialog(FileDialog::Save, request);
}

Prompts::Button Prompts::escapeButton(Buttons buttons)
{
    switch (buttons) {
    case Buttons::Ok:
        return Button::Ok;
    case Buttons::YesNo:
        return Button::No;
    case Buttons::OkCancel:
    case Buttons::YesNoCancel:
        break;
    }
    return Button::Cancel;
}
