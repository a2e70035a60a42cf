import QtQuick
import QtQuick.Controls
import Talvoro

// The message editor: grows with its text between 60 and 300, Return sends, Shift+Return
// breaks the line, Escape stops an answer on its way (while `canStop`). The text lives with
// the owner; bind `text` and handle `textEdited`.
Rectangle {
    id: root

    property string text
    readonly property real dynamicHeight: controller.dynamicHeight
    property alias editor: area
    property bool canStop: false

    signal send()
    signal stopRequested()
    signal textEdited(string text)

    implicitHeight: dynamicHeight
    height: dynamicHeight
    color: Style.surface
    radius: 10
    border.color: Style.separator
    border.width: 2
    Behavior on height { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }

    onTextChanged: {
        if (area.text !== text) {
            area.text = text
            area.cursorPosition = area.length
        }
    }

    ScrollView {
        id: scroller
        anchors.fill: parent
        anchors.margins: 2
        clip: true

        TextArea {
            id: area
            objectName: "messageEditor"
            font.pixelSize: Style.editorSize
            wrapMode: TextArea.Wrap
            color: Style.text
            selectByMouse: true
            leftPadding: 8
            rightPadding: 8
            topPadding: 8
            bottomPadding: 8
            background: null
            Accessible.name: "输入消息"
            // Only while there is something to stop; otherwise Escape goes on to whatever
            // else handles it (a popup above the editor, the window).
            Keys.onEscapePressed: event => {
                if (root.canStop)
                    root.stopRequested()
                else
                    event.accepted = false
            }
            onTextChanged: {
                if (text !== root.text)
                    root.textEdited(text)
            }
        }
    }

    EditorController {
        id: controller
        editor: area
        onSend: root.send()
    }
}
