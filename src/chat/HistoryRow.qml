import QtQuick
import QtQuick.Controls
import Talvoro

// One conversation in the history list: its name or latest message and its date. A click
// opens it; the "更多" button and a right-click bring its menu; renaming happens in place.
AbstractButton {
    id: row

    required property string conversationId
    required property string title
    required property string date
    required property bool pinned
    // What the conversation cost, every branch included; empty when nothing was charged.
    required property string cost

    signal chosen()
    signal renamed(string name)
    // The menu is the list's, one for all rows: the row says where it is wanted.
    signal menuRequested(Item at, real x, real y)

    property bool renaming: false
    // Extra lines for the row's tool tip (the whole title is always there).
    property string toolTipDetail: cost

    objectName: "historyRow"
    height: 60
    hoverEnabled: true
    text: title
    Accessible.role: Accessible.Button
    Accessible.name: title
    scale: down ? 0.98 : 1.0
    Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
    onClicked: if (!renaming) chosen()
    ToolTip.visible: hovered && !renaming
    ToolTip.delay: 800
    ToolTip.text: toolTipDetail !== "" ? title + "\n" + toolTipDetail : title

    function startRenaming() {
        renaming = true
        nameField.text = title
        nameField.selectAll()
        nameField.forceActiveFocus()
    }

    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: eventPoint => row.menuRequested(row, eventPoint.position.x, eventPoint.position.y)
    }

    background: Rectangle {
        radius: 10
        color: row.hovered ? Qt.rgba(0, 0.478, 1, 0.3) : Qt.rgba(0.56, 0.56, 0.58, 0.1)
    }
    contentItem: Item {
        Text {
            id: titleText
            objectName: "historyRowTitle"
            x: Style.padding
            width: parent.width - x - dateText.width - moreButton.width - 2 * Style.spacing
            height: parent.height
            visible: !row.renaming
            text: row.title
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
        TextField {
            id: nameField
            objectName: "renameField"
            x: Style.padding - 4
            width: titleText.width - 4
            anchors.verticalCenter: parent.verticalCenter
            visible: row.renaming
            Accessible.name: "对话名称"
            color: Style.text
            background: Rectangle {
                radius: 6
                color: Style.surface
                border.color: Style.accent
                border.width: 1
            }
            font.pixelSize: Style.bodySize
            selectByMouse: true
            Keys.onReturnPressed: event => { event.accepted = true; row.renaming = false; row.renamed(text) }
            Keys.onEnterPressed: event => { event.accepted = true; row.renaming = false; row.renamed(text) }
            Keys.onEscapePressed: event => { event.accepted = true; row.renaming = false }
            onActiveFocusChanged: if (!activeFocus) row.renaming = false
        }
        Text {
            id: dateText
            anchors.right: moreButton.left
            anchors.rightMargin: Style.spacing
            anchors.verticalCenter: parent.verticalCenter
            text: row.date
            color: Style.secondaryText
            font.pixelSize: Style.captionSize
        }
        IconButton {
            id: moreButton
            objectName: "historyRowMenuButton"
            anchors.right: parent.right
            anchors.rightMargin: Style.spacing
            anchors.verticalCenter: parent.verticalCenter
            symbol: "ellipsis"
            symbolColor: Style.secondaryText
            symbolSize: 18
            toolTip: "更多"
            onClicked: row.menuRequested(moreButton, 0, moreButton.height)
        }
    }
}
