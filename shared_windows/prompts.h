#pragma once

#include <QFlags>
#include <QString>

// The modal questions a window may put to the user: message boxes, the text input box and
// the open and save file dialogs. Windows receive a Prompts& by constructor, so tests can
// answer the questions without a modal dialog ever blocking.
//
// A box with no title of its own carries the program's title, which the object is built
// with. The overloads without a title use it; a title passed explicitly is used as given,
// so an empty title stays empty.
class Prompts {
public:
    enum class Icon { None, Critical, Exclamation, Information, Question };
    enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
    enum class Button { Ok, Cancel, Yes, No };

    enum class FileOption {
        NoOption = 0x0,
        MustExist = 0x1,        // open: only an existing file can be chosen
        ConfirmOverwrite = 0x2, // save: ask before an existing file is chosen
    };
    Q_DECLARE_FLAGS(FileOptions, FileOption)

    // One file dialog. The filter is written the classic way, description and patterns
    // separated by "|", patterns by ";", further pairs by "|":
    // "Coefficient Text File(*.txt;*.csv)|*.txt;*.csv". The default suffix (".txt") is
    // added to a typed name that has none.
    struct FileRequest {
        QString title;
        QString filter;
        QString defaultSuffix;
        FileOptions options;
        QString directory = {}; // the folder the dialog opens in; "" for the dialog's own choice
    };

    explicit Prompts(QString programTitle);
    virtual ~Prompts();
    Prompts(const Prompts&) = delete;
    Prompts& operator=(const Prompts&) = delete;

    const QString& programTitle() const { return m_programTitle; }

    // Message box under the program's title.
    Button message(const QString& text, Icon icon = Icon::None, Buttons buttons = Buttons::Ok);
    // Message box under the given title, which may be empty.
    Button message(const QString& text, const QString& title, Icon icon, Buttons buttons);

    // Text input box with an empty entry field. Cancel and an empty answer both give "".
    QString input(const QString& prompt);
    QString input(const QString& prompt, const QString& title);

    // File dialogs; the chosen path, or "" when the user cancels.
    QString openFile(const FileRequest& request);
    QString saveFile(const FileRequest& request);

    // The button that Escape or the close box gives for a set of buttons: the only button,
    // else Cancel, else No.
    static Button escapeButton(Buttons buttons);

protected:
    enum class FileDialog { Open, Save };

    // Implementations always receive the title to show, already resolved.
    virtual Button showMessage(const QString& text, const QString& title, Icon icon,
                               Buttons buttons) = 0;
    virtual QString showInput(const QString& prompt, const QString& title) = 0;
    virtual QString showFileDialog(FileDialog dialog, const FileRequest& request) = 0;

private:
    QString m_programTitle;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Prompts::FileOptions)
