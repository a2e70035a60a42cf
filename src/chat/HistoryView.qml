import QtQuick
import QtQuick.Controls
import Talvoro

// The stored conversations, newest first by when each started; a row reopens one, the trash
// button clears them all at once.
Column {
    id: root

    signal conversationChosen(string conversationId)
    signal closeRequested()

    objectName: "historyView"
    spacing: Style.spacing
    Accessible.role: Accessible.Pane
    Accessible.name: "历史消息"

    ConversationListModel { id: conversations }

    Row {
        width: root.width
        spacing: Style.spacing

        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: "历史消息"
            padding: Style.padding
            font.pixelSize: Style.headlineSize
            font.bold: true
            color: Style.text
        }
        IconButton {
            objectName: "clearHistoryButton"
            anchors.verticalCenter: parent.verticalCenter
            symbol: "trash"
            symbolColor: Style.danger
            symbolSize: 14
            toolTip: "清除历史记录"
            onClicked: conversations.clearHistory()
        }
        Item {
            width: root.width - x - closeButton.width - Style.padding
            height: 1
        }
        IconButton {
            id: closeButton
            objectName: "closeHistoryButton"
            anchors.verticalCenter: parent.verticalCenter
            symbol: "xmark.circle.fill"
            symbolColor: Style.secondaryText
            symbolSize: 20
            text: "关闭"
            background: Rectangle { radius: 12; color: Qt.rgba(Style.surface.r, Style.surface.g, Style.surface.b, 0.8) }
            onClicked: root.closeRequested()
        }
    }

    ListView {
        id: list
        objectName: "historyList"
        width: Math.min(600, root.width - 2 * Style.padding)
        height: Math.max(60, root.height - y - Style.padding)
        anchors.horizontalCenter: parent.horizontalCenter
        model: conversations
        spacing: 6
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        Accessible.role: Accessible.List
        Accessible.name: "历史消息"
        ScrollBar.vertical: ScrollBar { }

        delegate: AbstractButton {
            id: historyRow
            objectName: "historyRow"
            required property string conversationId
            required property string title
            width: ListView.view.width
            height: 60
            hoverEnabled: true
            text: title
            Accessible.role: Accessible.Button
            Accessible.name: title
            scale: down ? 0.98 : 1.0
            Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
            onClicked: root.conversationChosen(conversationId)

            background: Rectangle {
                radius: 10
                color: historyRow.hovered ? Qt.rgba(0, 0.478, 1, 0.3) : Qt.rgba(0.56, 0.56, 0.58, 0.1)
            }
            contentItem: Text {
                leftPadding: Style.padding
                rightPadding: Style.padding
                text: historyRow.title
                // A title is whatever a model wrote; never read it as markup.
                textFormat: Text.PlainText
                // Two lines fit the row's height; the accessible name keeps the whole title.
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
                verticalAlignment: Text.AlignVCenter
                font.pixelSize: Style.bodySize
                color: Style.text
            }
        }
    }
}
