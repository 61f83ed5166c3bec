// Operator messages: a message box with an OK button, or Yes and No for a
// question. Tests replace the box with a hook so that nothing modal waits
// for a click that never comes.
#pragma once
#include <QString>
#include <functional>

class QWidget;

namespace quorvex::ui {

enum class MessageKind { Ok, YesNo };

// Shows `text`; true for OK or Yes.
bool ShowMessage(QWidget* parent, const QString& text, MessageKind kind = MessageKind::Ok);

// Replaces the box (empty function: the real box again). The hook answers
// as the operator would.
using MessageHook = std::function<bool(const QString& text, MessageKind kind)>;
void SetMessageHook(MessageHook hook);

}  // namespace quorvex::ui
