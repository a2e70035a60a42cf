import QtQuick
import QtQuick.Controls
import Talvoro

// The open conversation, one row per message. Rows are created only for what is on screen
// and reused while scrolling, so long conversations stay light.
ListView {
    id: list

    required property ChatController chat

    // State every row reads: one hover, one copy flag and one loading tick per list.
    property string hoveredMessageID: ""
    property bool isCopied: false
    property int currentDot: 0
    property int loadingIndicators: 0
    readonly property string iconName: chat.selectedModelIconName

    signal toastRequested(string text)
    signal saveImageRequested(string path)

    function copyText(messageId, text) {
        if (hoveredMessageID !== messageId)
            return
        Clipboard.setText(text)
        isCopied = true
        copiedTimer.restart()
    }
    function quote(messageId) { chat.quoteMessage(messageId) }
    function regenerate(messageId) { chat.retryMessage(messageId) }
    function switchVariant(messageId, step) { chat.switchVariant(messageId, step) }
    // The question being edited in place; one at a time.
    property string editingMessageID: ""
    readonly property bool isGenerating: chat.isGenerating
    function sendEdit(messageId, text) {
        editingMessageID = ""
        chat.editQuestion(messageId, text)
    }
    function copyCode(code) {
        Clipboard.setText(code)
        toastRequested("复制成功！")
    }
    // Something above the visible part grew or shrank by `delta`: move with it, unless the
    // list is following the end anyway.
    function keepInPlace(delta) {
        if (following || moving)
            return
        autoScrolling = true
        contentY += delta
        autoScrolling = false
    }
    function copyImage(path) {
        if (Clipboard.setImage(path))
            toastRequested("复制成功！")
    }
    function saveImage(path) { saveImageRequested(path) }
    // The list follows a growing answer only while the reader is at its end; once they scroll
    // up, it stays where they put it until they come back (or send).
    property bool following: true
    property bool autoScrolling: false
    readonly property real distanceFromEnd: contentHeight + originY + bottomMargin
                                            - (contentY + height)

    function scrollToEnd() {
        if (count > 0) {
            autoScrolling = true
            positionViewAtIndex(count - 1, ListView.End)
            // The last row's end, with the list's bottom margin under it.
            if (distanceFromEnd > 0)
                contentY += distanceFromEnd
            autoScrolling = false
        }
        following = true
    }
    function followIfFollowing() {
        if (following)
            scrollToEnd()
    }

    // The message a search result opened at, marked until the user next clicks or types.
    property string highlightedMessageID: ""
    function showMessage(messageId) {
        highlightedMessageID = messageId
        highlightEnd.active = true
        // Queued behind the scroll to the end that opening a conversation asks for.
        Qt.callLater(list.positionAtMessage, messageId)
    }
    function positionAtMessage(messageId) {
        const row = chat.messages.rowOf(messageId)
        if (row < 0)
            return
        autoScrolling = true
        positionViewAtIndex(row, ListView.Center)
        autoScrolling = false
        following = false
    }
    UserInputWatcher {
        id: highlightEnd
        item: list
        onInteracted: list.highlightedMessageID = ""
    }

    objectName: "messageList"
    model: chat.messages
    spacing: 10
    topMargin: Style.padding
    bottomMargin: Style.padding
    clip: true
    reuseItems: true
    cacheBuffer: 600
    boundsBehavior: Flickable.StopAtBounds
    Accessible.role: Accessible.List
    Accessible.name: "消息"

    ScrollBar.vertical: ScrollBar { id: verticalBar; policy: ScrollBar.AsNeeded }

    delegate: MessageRow { listState: list }

    // Only the reader's own scrolling (drag, flick, wheel, the scroll bar) decides whether the
    // list follows; the list moving itself, or rows being laid out, does not.
    onContentYChanged: {
        if (!autoScrolling && (moving || verticalBar.pressed))
            following = distanceFromEnd < 4
    }
    onMovementEnded: following = distanceFromEnd < 4
    // A row that grows (an answer streaming in) moves the end; queued, so it is laid out first.
    onContentHeightChanged: Qt.callLater(list.followIfFollowing)

    Timer {
        id: copiedTimer
        interval: 2000
        onTriggered: list.isCopied = false
    }
    Timer {
        interval: 300
        repeat: true
        running: list.loadingIndicators > 0 && list.visible
        onTriggered: list.currentDot = (list.currentDot + 1) % 3
    }
    Connections {
        target: list.chat
        // Queued, so the new rows are laid out before the list moves to them.
        function onScrollToBottomTriggerChanged() { Qt.callLater(list.scrollToEnd) }
    }
    // Another conversation opened: it shows from where the list puts it, not its end.
    onModelChanged: list.following = false
}
