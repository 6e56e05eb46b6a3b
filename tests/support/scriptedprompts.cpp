#include "tests/support/scriptedprompts.h"

#include <QDebug>

#include <utility>

namespace {

const char* kindName(ScriptedPrompts::Kind kind)
{
    switch (kind) {
    case ScriptedPrompts::Kind::Message:
        return "message box";
    case ScriptedPrompts::Kind::Input:
        return "input box";
    case ScriptedPrompts::Kind::OpenFile:
        return "open-file dialog";
    case ScriptedPrompts::Kind::SaveFile:
        return "save-file dialog";
    }
    return "?";
}

const char* iconName(Prompts::Icon icon)
{
    switch (icon) {
    case Prompts::Icon::Critical:
        return "critical";
    case Prompts::Icon::Exclamation:
        return "exclamation";
    case Prompts::Icon::Information:
        return "information";
    case Prompts::Icon::Question:
        return "question";
    case Prompts::Icon::None:
        break;
    }
    return "no icon";
}

const char* buttonsName(Prompts::Buttons buttons)
{
    switch (buttons) {
    case Prompts::Buttons::OkCancel:
        return "OK+Cancel";
    case Prompts::Buttons::YesNo:
        return "Yes+No";
    case Prompts::Buttons::YesNoCancel:
        return "Yes+No+Cancel";
    case Prompts::Buttons::Ok:
        break;
    }
    return "OK";
}

const char* answerName(int kind)
{
    static const char* const names[] = {"a button", "a text", "a path"};
    return names[kind];
}

bool fits(Prompts::Buttons buttons, Prompts::Button button)
{
    using B = Prompts::Button;
    switch (buttons) {
    case Prompts::Buttons::Ok:
        return button == B::Ok;
    case Prompts::Buttons::OkCancel:
        return button == B::Ok || button == B::Cancel;
    case Prompts::Buttons::YesNo:
        return button == B::Yes || button == B::No;
    case Prompts::Buttons::YesNoCancel:
        return button == B::Yes || button == B::No || button == B::Cancel;
    }
    return false;
}

} // namespace

ScriptedPrompts::ScriptedPrompts(QString programTitle) : Prompts(std::move(programTitle)) {}

ScriptedPrompts::~ScriptedPrompts()
{
    if (!m_answers.empty()) {
        qWarning("ScriptedPrompts: %d queued answer(s) never used", queuedAnswers());
    }
}

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

QString ScriptedPrompts::describe(const Call& call)
{
    QString line = QString::fromLatin1(kindName(call.kind));
    switch (call.kind) {
    case Kind::Message:
        return line + QStringLiteral(" \"%1\" titled \"%2\", %3, %4")
                          .arg(call.text, call.title, QLatin1String(iconName(call.icon)),
                               QLatin1String(buttonsName(call.buttons)));
    case Kind::Input:
        return line + QStringLiteral(" \"%1\" titled \"%2\"").arg(call.text, call.title);
    case Kind::OpenFile:
    case Kind::SaveFile:
        break;
    }
    return line + QStringLiteral(" titled \"%1\", filter \"%2\"").arg(call.title, call.file.filter);
}

bool ScriptedPrompts::take(Call& call, AnswerKind wanted, Answer& answer)
{
    QString problem;
    if (m_answers.empty()) {
        problem = QStringLiteral("no answer queued");
    } else if (m_answers.front().kind != wanted) {
        problem = QStringLiteral("queued answer is %1")
                      .arg(QLatin1String(answerName(static_cast<int>(m_answers.front().kind))));
    } else if (wanted == AnswerKind::Button && !fits(call.buttons, m_answers.front().button)) {
        problem = QStringLiteral("queued button is not on the box");
    }
    if (problem.isEmpty()) {
        answer = std::move(m_answers.front());
        m_answers.pop_front();
        call.answered = true;
        m_calls << call;
        if (answer.whileOpen) {
            answer.whileOpen(call);
        }
        return true;
    }
    // A wrong answer is used up too, so the answers after it stay in step with the calls.
    if (!m_answers.empty()) {
        m_answers.pop_front();
    }
    m_calls << call;
    const QString line = describe(call) + QStringLiteral(": ") + problem;
    m_unexpected << line;
    qWarning().noquote() << "ScriptedPrompts: unexpected" << line;
    return false;
}

Prompts::Button ScriptedPrompts::showMessage(const QString& text, const QString& title, Icon icon,
                                             Buttons buttons)
{
    Call call;
    call.kind = Kind::Message;
    call.text = text;
    call.title = title;
    call.icon = icon;
    call.buttons = buttons;
    Answer answer;
    if (!take(call, AnswerKind::Button, answer)) {
        return escapeButton(buttons);
    }
    return answer.button;
}

QString ScriptedPrompts::showInput(const QString& prompt, const QString& title)
{
    Call call;
    call.kind = Kind::Input;
    call.text = prompt;
    call.title = title;
    Answer answer;
    if (!take(call, AnswerKind::Text, answer)) {
        return QString();
    }
    return answer.text;
}

QString ScriptedPrompts::showFileDialog(FileDialog dialog, const FileRequest& request)
{
    Call call;
    call.kind = dialog == FileDialog::Open ? Kind::OpenFile : Kind::SaveFile;
    call.title = request.title;
    call.file = request;
    Answer answer;
    if (!take(call, AnswerKind::Path, answer)) {
        return QString();
    }
    return answer.text;
}
