#include "tests/support/scriptedprompts.h"

#include <QDebug>

void ScriptedPrompts::answerButton(Button button, WhileOpen whileOpen)
{
    m_answers.push_back({AnswerKind::Button, button, QString(), std::move(whileOpen)});
}

void ScriptedPrompts::answerText(const QString& text, WhileOpen whileOpen)
{
    m_answers.push_back({AnswerKind::Text, Button::Ok, text, std::move(whileOpen)});
}

void ScriptedPrompts::answerPath(const QString& path, WhileOpen whileOpen)
{
    m_answers.push_back({AnswerKind::Path, Button::Ok, path, std::move(whileOpen)});
}

QStringList ScriptedPrompts::messageTexts() const
{
    QStringList texts;
    for (const Call& call : m_calls) {
        if (call.kind == Kind::Message) {
            texts << call.text;
        }
    }
    return texts;
}

void ScriptedPrompts::reset()
{
    m_calls.clear();
    m_answers.clear();
    m_unexpected.clear();
}

bool ScriptedPrompts::take(const Call& call, AnswerKind wanted, Answer& answer)
{
    static const char* const kinds[] = {"message box", "input box", "open-file dialog",
                                        "save-file dialog"};
    static const char* const answers[] = {"a button", "a text", "a path"};
    // The buttons of each box, one bit per Button.
    static const int onBox[] = {0b0001, 0b0011, 0b1100, 0b1110};
    QString problem;
    if (m_answers.empty()) {
        problem = QStringLiteral("no answer queued");
    } else if (m_answers.front().kind != wanted) {
        problem = QStringLiteral("queued answer is ") + answers[int(m_answers.front().kind)];
    } else if (wanted == AnswerKind::Button &&
               !(onBox[int(call.buttons)] & (1 << int(m_answers.front().button)))) {
        problem = QStringLiteral("queued button is not on the box");
    }
    m_calls << call;
    // A wrong answer is used up too, so the answers after it stay in step with the calls.
    if (!m_answers.empty()) {
        answer = std::move(m_answers.front());
        m_answers.pop_front();
    }
    if (problem.isEmpty()) {
        if (answer.whileOpen) {
            answer.whileOpen(call);
        }
        return true;
    }
    const QString line = QStringLiteral("%1 \"%2\" titled \"%3\", icon %4, buttons %5: %6")
                             .arg(QLatin1String(kinds[int(call.kind)]), call.text, call.title)
                             .arg(int(call.icon))
                             .arg(int(call.buttons))
                             .arg(problem);
    m_unexpected << line;
    qWarning().noquote() << "ScriptedPrompts: unexpected" << line;
    return false;
}

Prompts::Button ScriptedPrompts::showMessage(const QString& text, const QString& title, Icon icon,
                                             Buttons buttons)
{
    Answer answer;
    return take({Kind::Message, text, title, icon, buttons, {}}, AnswerKind::Button, answer)
               ? answer.button
               : escapeButton(buttons);
}

QString ScriptedPrompts::showInput(const QString& prompt, const QString& title)
{
    Answer answer;
    return take({Kind::Input, prompt, title, Icon::None, Buttons::OkCancel, {}}, AnswerKind::Text,
                answer)
               ? answer.text
               : QString();
}

QString ScriptedPrompts::showFileDialog(FileDialog dialog, const FileRequest& request)
{
    Answer answer;
    const Kind kind = dialog == FileDialog::Open ? Kind::OpenFile : Kind::SaveFile;
    return take({kind, QString(), request.title, Icon::None, Buttons::OkCancel, request},
                AnswerKind::Path, answer)
               ? answer.text
               : QString();
}
