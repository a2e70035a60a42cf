#include "chat/editorstate.h"

void EditorState::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    emit textChanged();
}
