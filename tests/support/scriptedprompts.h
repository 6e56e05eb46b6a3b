#pragma once

#include "shared_windows/prompts.h"

#include <QStringList>
#include <QVector>

#include <deque>
#include <functional>

// Prompts for tests: records every question exactly as it would be shown and answers it
// from a queue, so no test ever waits on a modal dialog.
//
// Answers are used in the order they were queued; each must fit the question it meets
// (a button for a message box, a text for the input box, a path for a file dialog). A
// question that finds no fitting answer is recorded as unexpected, answered as Escape
// would answer it (Cancel, No, or an empty text), and reported with a qWarning that
// starts with "ScriptedPrompts: unexpected". Tests make that warning fatal with
//     QTest::failOnWarning(QRegularExpression("^ScriptedPrompts: unexpected"));
// and should check queuedAnswers() == 0 at the end, so unused answers are caught as well.
class ScriptedPrompts : public Prompts {
public:
    enum class Kind { Message, Input, OpenFile, SaveFile };

    struct Call {
        Kind kind = Kind::Message;
        QString text;  // message text or input prompt; empty for file dialogs
        QString title; // the title as shown, the program's title already filled in
        Icon icon = Icon::None;
        Buttons buttons = Buttons::Ok;
        FileRequest file; // file dialogs only
        bool answered = false;
    };

    // Runs while the question is "open", before its answer returns: lets a test do what
    // could happen behind a modal box.
    using WhileOpen = std::function<void(const Call&)>;

    explicit ScriptedPrompts(QString programTitle);
    ~ScriptedPrompts() override;

    void answerButton(Button button, WhileOpen whileOpen = {});
    void answerText(const QString& text, WhileOpen whileOpen = {}); // "" answers Cancel
    void answerPath(const QString& path, WhileOpen whileOpen = {}); // "" answers Cancel

    const QVector<Call>& calls() const { return m_calls; }
    // The texts of the message boxes shown, in order.
    QStringList messageTexts() const;
    // One line per question that found no fitting answer.
    const QStringList& unexpectedCalls() const { return m_unexpected; }
    int queuedAnswers() const { return static_cast<int>(m_answers.size()); }

    // Forgets calls, answers and unexpected calls.
    void reset();

    static QString describe(const Call& call);

protected:
    Button showMessage(const QString& text, const QString& title, Icon icon,
                       Buttons buttons) override;
    QString showInput(const QString& prompt, const QString& title) override;
    QString showFileDialog(FileDialog dialog, const FileRequest& request) override;

private:
    enum class AnswerKind { Button, Text, Path };
    struct Answer {
        AnswerKind kind;
        Button button;
        QString text;
        WhileOpen whileOpen;
    };

    // Takes the next answer when it is of the wanted kind; otherwise records the call as
    // unexpected and returns false.
    bool take(Call& call, AnswerKind wanted, Answer& answer);

    QVector<Call> m_calls;
    std::deque<Answer> m_answers;
    QStringList m_unexpected;
};
