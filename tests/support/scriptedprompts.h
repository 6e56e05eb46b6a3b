#pragma once

#include "shared_windows/prompts.h"

#include <QStringList>
#include <QVector>

#include <deque>
#include <functional>
#include <utility>

// Prompts for tests: records every question as it would be shown and answers it from a queue,
// so no test ever waits on a modal dialog. An answer must fit its question (a button on the
// box, a text for the input box, a path for a file dialog); a question that finds none is
// recorded as unexpected, answered as Escape would, and warned about with "ScriptedPrompts:
// unexpected ...", which tests make fatal with QTest::failOnWarning. Tests also check
// queuedAnswers() == 0 at the end.
class ScriptedPrompts : public Prompts {
public:
    enum class Kind { Message, Input, OpenFile, SaveFile };

    struct Call {
        Kind kind = Kind::Message;
        QString text;  // message text or input prompt; empty for file dialogs
        QString title; // as shown, the program's title already filled in
        Icon icon = Icon::None;
        Buttons buttons = Buttons::Ok;
        FileRequest file; // file dialogs only
    };

    // Runs while the question is open, before its answer returns: what could happen behind a
    // modal box.
    using WhileOpen = std::function<void(const Call&)>;

    explicit ScriptedPrompts(QString programTitle) : Prompts(std::move(programTitle)) {}

    void answerButton(Button button, WhileOpen whileOpen = {});
    void answerText(const QString& text, WhileOpen whileOpen = {}); // "" answers Cancel
    void answerPath(const QString& path, WhileOpen whileOpen = {}); // "" answers Cancel

    const QVector<Call>& calls() const { return m_calls; }
    QStringList messageTexts() const; // of the message boxes shown, in order
    const QStringList& unexpectedCalls() const { return m_unexpected; }
    int queuedAnswers() const { return static_cast<int>(m_answers.size()); }
    void reset(); // forgets calls, answers and unexpected calls

protected:
    Button showMessage(const QString& text, const QString& title, Icon icon,
                       Buttons buttons) override;
    QString showInput(const QString& prompt, const QString& title) override;
    QString showFileDialog(FileDialog dialog, const FileRequest& request) override;

private:
    enum class AnswerKind { Button, Text, Path };
    struct Answer {
        AnswerKind kind = AnswerKind::Button;
        Button button = Button::Ok;
        QString text;
        WhileOpen whileOpen;
    };

    // The next answer when it fits the call; otherwise the call is recorded as unexpected.
    bool take(const Call& call, AnswerKind wanted, Answer& answer);

    QVector<Call> m_calls;
    std::deque<Answer> m_answers;
    QStringList m_unexpected;
};
