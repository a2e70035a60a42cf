import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Talvoro

// The panel under the messages: model, new conversation and history buttons, then the editor
// with the send button at its corner.
ColumnLayout {
    id: root

    required property ChatController chat
    property alias editor: editor
    property alias modelButton: modelButton

    signal historyRequested()

    spacing: 8

    RowLayout {
        Layout.leftMargin: Style.padding
        Layout.rightMargin: Style.padding
        spacing: Style.spacing

        TileButton {
            id: modelButton
            objectName: "modelButton"
            text: root.chat.selectedModelDisplayName
            iconName: root.chat.selectedModelIconName
            labelWidth: 80
            fontFamily: Style.latinFamily
            onClicked: root.chat.showDropdown = !root.chat.showDropdown
        }
        TileButton {
            objectName: "newConversationButton"
            text: "新对话"
            padding: 0
            labelWidth: 50
            tileHeight: 40
            onClicked: root.chat.newConversation()
        }
        TileButton {
            objectName: "historyButton"
            text: "历史"
            padding: 0
            labelWidth: 50
            tileHeight: 40
            onClicked: root.historyRequested()
        }
        Item { Layout.fillWidth: true }
    }

    Item {
        Layout.fillWidth: true
        Layout.leftMargin: Style.padding
        Layout.rightMargin: Style.padding
        implicitHeight: editor.height

        ResizableTextEditor {
            id: editor
            objectName: "textEditor"
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.rightMargin: 30
            text: root.chat.messageText
            onTextEdited: text => root.chat.messageText = text
            onSend: root.chat.submitInput()
            canStop: root.chat.isGenerating
            onStopRequested: root.chat.stopGenerating()
            onDynamicHeightChanged: root.chat.textEditorHeight = dynamicHeight
        }
        // While an answer of this conversation is on its way, the send button stops it.
        CornerButton {
            objectName: "sendButton"
            visible: !root.chat.isGenerating
            symbol: "paperplane.fill"
            text: "发送"
            // Not worked out while an answer streams: the button is hidden then.
            description: root.chat.isGenerating ? "" : root.chat.questionCost
            onClicked: root.chat.sendMessage()
        }
        CornerButton {
            objectName: "stopButton"
            visible: root.chat.isGenerating
            symbol: "stop.circle.fill"
            text: "停止生成"
            toolTip: "停止生成"
            onClicked: root.chat.stopGenerating()
        }
    }

    // The editor's corner button.
    component CornerButton: IconButton {
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.rightMargin: 1
        anchors.bottomMargin: 1
        padding: 2
        symbolSize: 22
    }

    Popup {
        id: dropdown
        objectName: "modelPopover"
        parent: modelButton
        readonly property bool below: false
        y: -height - 6
        x: 0
        padding: 0
        visible: root.chat.showDropdown
        onClosed: root.chat.showDropdown = false
        closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
        background: Item {
            SoftShadow { anchors.fill: parent; radius: 10; blur: 8; color: Qt.rgba(0, 0, 0, Style.dark ? 0.5 : 0.18) }
            Rectangle { anchors.fill: parent; radius: 10; color: Style.surface }
            // The arrow points at the model button below.
            Rectangle {
                width: 12; height: 12; rotation: 45
                x: 24; y: parent.height - 6
                color: Style.surface
            }
        }
        // Built while open only: six rows of names and pictures that the first frame can do
        // without.
        contentItem: Loader {
            active: dropdown.visible
            sourceComponent: DropdownView {
                selectedModel: root.chat.selectedModel
                onModelChosen: id => {
                    root.chat.selectedModel = id
                    root.chat.showDropdown = false
                }
            }
        }
    }
}
