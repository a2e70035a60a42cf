import QtQuick
import QtQuick.Controls
import Talvoro

// A question edited in place: its text in an editor that keys as the main one does (Return
// sends, Shift+Return breaks the line, Return while an input method composes only commits it),
// Escape cancels; "发送" and "取消" under it.
Column {
    id: root

    property string text

    signal sendRequested(string text)
    signal cancelRequested()

    spacing: 6
    Component.onCompleted: {
        area.text = text
        area.cursorPosition = area.length
        area.forceActiveFocus()
    }

    Rectangle {
        width: parent.width
        height: Math.min(controller.dynamicHeight, 200)
        color: Style.surface
        radius: 10
        border.color: Style.bubble
        border.width: 2

        ScrollView {
            anchors.fill: parent
            anchors.margins: 2
            clip: true

            TextArea {
                id: area
                objectName: "questionEditor"
                font.pixelSize: Style.editorSize
                wrapMode: TextArea.Wrap
                color: Style.text
                selectByMouse: true
                leftPadding: 8
                rightPadding: 8
                topPadding: 8
                bottomPadding: 8
                background: null
                Accessible.name: "编辑"
                Keys.onEscapePressed: root.cancelRequested()
            }
        }
    }

    EditorController {
        id: controller
        editor: area
        onSend: root.sendRequested(area.text)
    }

    Row {
        anchors.right: parent.right
        spacing: Style.spacing

        Button {
            objectName: "cancelEditButton"
            text: "取消"
            flat: true
            Accessible.role: Accessible.Button
            Accessible.name: text
            onClicked: root.cancelRequested()
        }
        AccentButton {
            objectName: "sendEditButton"
            accent: Style.accent
            text: "发送"
            enabled: area.text.trim() !== ""
            onClicked: root.sendRequested(area.text)
        }
    }
}
