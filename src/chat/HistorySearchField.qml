import QtQuick
import QtQuick.Controls
import Talvoro

// The history's search field. Escape clears what was typed; with nothing typed it closes the
// sheet.
TextField {
    id: field

    readonly property bool active: text.trim() !== ""
    signal closeRequested()

    objectName: "historySearchField"
    placeholderText: "搜索历史消息"
    placeholderTextColor: Style.placeholderText
    Accessible.name: "搜索历史"
    Accessible.role: Accessible.EditableText
    leftPadding: 30
    color: Style.text
    font.pixelSize: Style.bodySize
    selectByMouse: true
    focus: true
    background: Rectangle {
        radius: 8
        color: Style.surface
        border.color: field.activeFocus ? Style.accent : Style.separator
        border.width: 1
        SymbolIcon {
            x: 8
            anchors.verticalCenter: parent.verticalCenter
            name: "magnifyingglass"
            size: 16
            color: Style.secondaryText
        }
    }
    Keys.onEscapePressed: event => {
        event.accepted = true
        if (text !== "")
            clear()
        else
            closeRequested()
    }
}
