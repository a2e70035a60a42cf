import QtQuick
import QtQuick.Controls
import Talvoro

// One message of the list: the user's on the right in a blue bubble, the assistant's on the
// left behind the model's icon, as rendered text and code blocks, loading dots or a picture.
Item {
    id: row

    required property int index
    required property string messageId
    required property string content
    required property string copyText
    required property bool isUserMessage
    required property bool isLoading
    required property string imagePath
    required property bool isLast
    required property var codeLanguages
    required property string cost
    required property string costParts
    required property int variantIndex
    required property int variantCount
    required property bool canRegenerate

    // Shared by all rows of one list.
    required property Item listState

    width: ListView.view ? ListView.view.width : 0
    implicitHeight: isUserMessage ? question.height : assistant.height
    Accessible.role: Accessible.ListItem
    ModelOrder.index: index

    // A row waiting in the view's pool keeps its old message; hidden, a screen reader skips it.
    property bool pooled: false
    visible: !pooled
    ListView.onPooled: pooled = true
    ListView.onReused: pooled = false
    Accessible.name: imagePath !== "" ? "【图片】" : copyText

    readonly property real padding: Style.padding
    readonly property bool editing: row.listState.editingMessageID === row.messageId

    // Marks the message a search result opened at.
    Rectangle {
        objectName: "searchHighlight"
        anchors.fill: parent
        anchors.topMargin: -4
        anchors.bottomMargin: -4
        visible: row.listState.highlightedMessageID === row.messageId
        radius: 10
        color: Qt.rgba(1, 0.8, 0, 0.25)
    }

    // The user's bubble, its versions and actions under it; or, while it is edited, an editor in
    // its place.
    Item {
        id: question
        visible: row.isUserMessage
        anchors.right: parent.right
        anchors.rightMargin: row.padding
        width: row.width - 2 * row.padding
        height: visible ? (row.editing ? editorLoader.height : bubble.height) : 0

        HoverHandler {
            onHoveredChanged: {
                if (hovered)
                    row.listState.hoveredMessageID = row.messageId
                else if (row.listState.hoveredMessageID === row.messageId)
                    row.listState.hoveredMessageID = ""
            }
        }

        Rectangle {
            id: bubble
            visible: !row.editing
            anchors.right: parent.right
            width: userText.width + 2 * row.padding
            height: userText.height + 2 * row.padding
            radius: 10
            color: Style.bubble

            TextEdit {
                id: userText
                x: row.padding
                y: row.padding
                width: Math.min(implicitWidth, 400 - 2 * row.padding,
                                row.width - 2 * row.padding - 60)
                text: row.isUserMessage ? row.content : ""
                textFormat: TextEdit.PlainText
                wrapMode: TextEdit.Wrap
                readOnly: true
                selectByMouse: true
                selectionColor: Qt.rgba(1, 1, 1, 0.35)
                color: Style.textOnBubble
                font.pixelSize: Style.bodySize
            }
        }

        // Beside the bubble, at its foot: the versions, then copy and edit while hovered. They
        // take no height, so a conversation reads as densely as before.
        Row {
            id: questionActions
            visible: !row.editing
            anchors.right: bubble.left
            anchors.rightMargin: 4
            anchors.bottom: bubble.bottom
            spacing: 2

            VariantSwitcher {
                objectName: "questionVersions"
                anchors.verticalCenter: parent.verticalCenter
                index: row.variantIndex
                count: row.isUserMessage ? row.variantCount : 1
                noun: "版本"
                previousName: "上一个版本"
                nextName: "下一个版本"
                onSwitchRequested: step => row.listState.switchVariant(row.messageId, step)
            }
            Row {
                readonly property bool shown: row.listState.hoveredMessageID === row.messageId
                spacing: 2
                opacity: shown ? 1 : 0

                IconButton {
                    objectName: "questionCopyButton"
                    symbol: row.listState.isCopied && parent.shown ? "checkmark" : "doc.on.doc"
                    toolTip: "复制"
                    enabled: parent.shown
                    onClicked: row.listState.copyText(row.messageId, row.copyText)
                }
                IconButton {
                    objectName: "editButton"
                    symbol: "pencil"
                    toolTip: "编辑"
                    enabled: parent.shown && !row.listState.isGenerating
                    onClicked: row.listState.editingMessageID = row.messageId
                }
            }
        }

        Loader {
            id: editorLoader
            active: row.editing
            visible: active
            anchors.right: parent.right
            width: Math.min(560, parent.width - 60)
            sourceComponent: QuestionEditor {
                text: row.content
                onSendRequested: text => row.listState.sendEdit(row.messageId, text)
                onCancelRequested: row.listState.editingMessageID = ""
            }
        }
    }

    // The assistant's row: icon, content, actions.
    Item {
        id: assistant
        visible: !row.isUserMessage
        x: row.padding
        width: row.width - 2 * row.padding
        height: visible ? Math.max(30, column.height) : 0

        SymbolIcon {
            id: avatar
            name: row.listState.iconName
            size: 30
        }

        Column {
            id: column
            x: avatar.width + Style.spacing
            width: parent.width - x - 30
            spacing: Style.spacing

            HoverHandler {
                onHoveredChanged: {
                    if (hovered)
                        row.listState.hoveredMessageID = row.messageId
                    else if (row.listState.hoveredMessageID === row.messageId)
                        row.listState.hoveredMessageID = ""
                }
            }

            Loader {
                id: body
                width: column.width
                active: !row.isUserMessage
                sourceComponent: row.imagePath !== "" ? pictureBody
                               : row.isLoading ? loadingBody : textBody
            }

            ActionRow {
                shown: row.listState.hoveredMessageID === row.messageId
                isCopied: row.listState.isCopied
                canRegenerate: row.canRegenerate
                cost: row.cost
                costParts: row.costParts
                variantIndex: row.variantIndex
                variantCount: row.isUserMessage ? 1 : row.variantCount
                onSwitchRequested: step => row.listState.switchVariant(row.messageId, step)
                onCopyRequested: row.listState.copyText(row.messageId, row.copyText)
                onQuoteRequested: row.listState.quote(row.messageId)
                onRegenerateRequested: row.listState.regenerate(row.messageId)
            }
        }
    }

    Component {
        id: loadingBody
        Item {
            implicitHeight: dots.implicitHeight
            LoadingDots {
                id: dots
                currentDot: row.listState.currentDot
                Component.onCompleted: row.listState.loadingIndicators += 1
                Component.onDestruction: row.listState.loadingIndicators -= 1
            }
        }
    }

    Component {
        id: textBody
        AnswerBody {
            content: row.content
            languages: row.codeLanguages
            // Where the list's window falls on this answer (the body is at the row's top).
            viewTop: row.listState.contentY - row.y
            viewBottom: viewTop + row.listState.height
            onCopyCodeRequested: code => row.listState.copyCode(code)
            onShiftedAbove: delta => row.listState.keepInPlace(delta)
        }
    }

    Component {
        id: pictureBody
        Item {
            implicitHeight: picture.status === RoundedImage.Error ? failed.implicitHeight
                                                                   : picture.height
            RoundedImage {
                id: picture
                objectName: "picture"
                path: row.imagePath
                width: implicitWidth
                height: implicitHeight
                maximumSide: 200
                radius: 10
                Accessible.role: Accessible.Graphic
                Accessible.name: "【图片】"

                TapHandler {
                    acceptedButtons: Qt.RightButton
                    enabled: picture.status === RoundedImage.Ready
                    onTapped: menu.popup()
                }
                Menu {
                    id: menu
                    MenuItem {
                        text: "复制图片"
                        onTriggered: row.listState.copyImage(row.imagePath)
                        contentItem: MenuLabel { text: parent.text; symbol: "doc.on.doc" }
                    }
                    MenuItem {
                        text: "保存到文件"
                        onTriggered: row.listState.saveImage(row.imagePath)
                        contentItem: MenuLabel { text: parent.text; symbol: "square.and.arrow.down" }
                    }
                }
            }
            Text {
                id: failed
                visible: picture.status === RoundedImage.Error
                text: "无法加载图片"
                color: Style.danger
                font.pixelSize: Style.captionSize
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }
    }
}
