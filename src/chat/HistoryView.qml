import QtQuick
import QtQuick.Controls
import Talvoro

// The stored conversations, pinned first, then newest first by when each started, under date
// headings; a search field on top finds messages in all of them. A row reopens its
// conversation, its menu renames, pins, exports or deletes it; the trash button clears them all
// at once.
Column {
    id: root

    signal conversationChosen(string conversationId)
    // A search result: open its conversation at that message.
    signal messageChosen(string conversationId, string messageId)
    signal conversationDeleted(string conversationId)
    signal exportRequested(string conversationId, string title, string format)
    signal closeRequested()

    readonly property alias searchField: search

    objectName: "historyView"
    spacing: Style.spacing
    Accessible.role: Accessible.Pane
    Accessible.name: "历史消息"
    // The sheet leaves Escape to the view: the search field takes it first.
    Keys.onEscapePressed: root.closeRequested()

    // A change reloads the list, and the row that asked for it goes: the work is done here.
    function rename(conversationId, name) { conversations.rename(conversationId, name) }
    function setPinned(conversationId, pinned) { conversations.setPinned(conversationId, pinned) }
    function remove(conversationId) {
        if (conversations.remove(conversationId)) {
            undo.show()
            conversationDeleted(conversationId)
        }
    }
    function focusSearch() { search.forceActiveFocus() }

    ConversationListModel { id: conversations }
    SearchResultsModel {
        id: searchResults
        query: search.text
    }

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

    HistorySearchField {
        id: search
        width: list.width
        anchors.horizontalCenter: parent.horizontalCenter
        onCloseRequested: root.closeRequested()
    }

    Item {
        width: list.width
        height: Math.max(60, root.height - y - Style.padding)
        anchors.horizontalCenter: parent.horizontalCenter

        ListView {
            id: list
            objectName: "historyList"
            width: Math.min(600, root.width - 2 * Style.padding)
            height: parent.height
            visible: !search.active
            model: conversations
            spacing: 6
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            Accessible.role: Accessible.List
            Accessible.name: "历史消息"
            ScrollBar.vertical: ScrollBar { }
            section.property: "section"
            section.delegate: Text {
                required property string section
                width: ListView.view.width
                topPadding: 6
                bottomPadding: 2
                leftPadding: 4
                text: section
                color: Style.secondaryText
                font.pixelSize: Style.captionSize
                font.bold: true
                Accessible.role: Accessible.StaticText
                Accessible.name: section
            }

            delegate: HistoryRow {
                id: historyRow
                width: ListView.view.width
                onChosen: root.conversationChosen(conversationId)
                onRenamed: name => root.rename(conversationId, name)
                onMenuRequested: (at, x, y) => {
                    menu.row = historyRow
                    menu.conversationId = conversationId
                    menu.conversationTitle = title
                    menu.pinned = pinned
                    menu.popup(at, x, y)
                }
            }
        }

        SearchResultsList {
            anchors.fill: list
            visible: search.active
            results: searchResults
            onChosen: (conversationId, messageId) => root.messageChosen(conversationId, messageId)
        }

        // One menu for every row: made once, not with each row the list draws.
        HistoryRowMenu {
            id: menu
            property bool renameWhenClosed: false
            // Once the menu has handed focus back, or it would take it from the name field.
            onRenameChosen: renameWhenClosed = true
            onClosed: {
                if (renameWhenClosed && row)
                    row.startRenaming()
                renameWhenClosed = false
            }
            onPinChosen: root.setPinned(conversationId, !pinned)
            onExportChosen: format => root.exportRequested(conversationId, conversationTitle, format)
            onDeleteChosen: root.remove(conversationId)
        }

        UndoToast {
            id: undo
            anchors.horizontalCenter: parent.horizontalCenter
            anchors.bottom: parent.bottom
            anchors.bottomMargin: Style.spacing
            text: "已删除对话"
            actionText: "撤销"
            onActionTriggered: conversations.undoRemove()
        }
    }
}
