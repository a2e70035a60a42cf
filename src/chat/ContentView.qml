import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Talvoro

// The chat window: toolbar, the welcome view or the messages, and the input panel. Each
// ContentView has its own controller, so the main window's chat and the popover's are
// independent.
Item {
    id: root

    readonly property alias chat: chat
    // The main window's state, wherever this view is (the popover's toggles act on it too). The
    // window holding the view binds these to the shell, which the chat layer does not reach.
    property bool isWindowAlwaysOnTop: false
    property bool isMinimized: false
    property bool isFullScreen: false
    signal pinToggled()
    signal compactToggled()
    // The upgrade alert, once it has been needed.
    property UpgradeAlert upgradeAlert: null

    objectName: "contentView"

    ChatController { id: chat }
    Component.onCompleted: {
        chat.onAppear()
        AccountBalance.refresh()
    }
    Connections {
        target: chat
        function onSendSettled() { AccountBalance.sendSettled() }
    }
    // Once per sign-in, in the window the user is looking at.
    Connections {
        target: AccountBalance
        function onLowBalanceNoticeRequested(text, buttonText) {
            if (!root.Window.window || !root.Window.window.visible)
                return
            const toast = toastComponent.createObject(root, {
                text: "积分不多了，" + text,
                actionText: buttonText
            })
            toast.actionTriggered.connect(AccountBalance.openMembershipPage)
        }
    }
    // The view appears again each time its window comes back: the popover reopening, the main
    // window restored; the welcome flag may have changed meanwhile.
    Connections {
        target: root.Window.window
        function onVisibilityChanged(visibility) {
            if (visibility !== Window.Hidden && visibility !== Window.Minimized)
                chat.onAppear()
        }
    }

    function togglePin() { pinToggled() }
    function toggleCompact() { compactToggled() }
    function exportConversation(conversationId, name, format) {
        exportDialog.active = true
        exportDialog.item.exportConversation(conversationId, name, format)
    }
    function showToast(text) {
        toastComponent.createObject(root, { text: text })
    }

    Rectangle {
        anchors.fill: parent
        color: Qt.rgba(0.56, 0.56, 0.58, 0.2)
    }

    Shortcut {
        sequence: StandardKey.Find
        onActivated: chat.showHistory = true
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ChatToolbar {
            id: toolbar
            Layout.fillWidth: true
            chat: chat
            isWindowAlwaysOnTop: root.isWindowAlwaysOnTop
            isMinimized: root.isMinimized
            isFullScreen: root.isFullScreen
            onPinToggled: root.togglePin()
            onCompactToggled: root.toggleCompact()
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            WelcomeView {
                anchors.fill: parent
                visible: chat.showWelcomeView
                model: chat.selectedModel !== "" ? chat.selectedModel : chat.defaultModel
                onQuestionSelected: question => chat.selectWelcomeQuestion(question)
            }
            MessageList {
                id: messageList
                anchors.fill: parent
                visible: !chat.showWelcomeView
                chat: chat
                onToastRequested: text => root.showToast(text)
                onSaveImageRequested: path => {
                    saveDialog.active = true
                    saveDialog.item.save(path)
                }
            }
            // Shown once the reader has scrolled away from the end; brings them back and the
            // list follows the answer again.
            IconButton {
                objectName: "backToBottomButton"
                anchors.horizontalCenter: messageList.horizontalCenter
                anchors.bottom: messageList.bottom
                anchors.bottomMargin: Style.spacing
                visible: messageList.visible && !messageList.following && messageList.count > 0
                padding: 7
                symbol: "arrow.down"
                symbolSize: 18
                text: "回到底部"
                toolTip: "回到底部"
                onClicked: messageList.scrollToEnd()
                background: Rectangle {
                    radius: height / 2
                    color: Style.surface
                    border.color: Style.shade(0.12)
                    border.width: 1
                }
            }
        }

        InputPanel {
            id: inputPanel
            Layout.fillWidth: true
            Layout.topMargin: Style.spacing
            Layout.bottomMargin: Style.padding
            chat: chat
            onHistoryRequested: chat.showHistory = !chat.showHistory
        }
    }

    Popup {
        id: historySheet
        objectName: "historySheet"
        parent: root
        modal: true
        dim: true
        visible: chat.showHistory
        onClosed: chat.showHistory = false
        // Escape clears the search field first; the history view closes the sheet itself.
        closePolicy: Popup.CloseOnPressOutside
        // The search field inside takes the keyboard as the sheet opens.
        focus: true
        width: Math.min(root.width - 24, 640)
        height: Math.round(root.height * 0.7)
        x: (root.width - width) / 2
        y: root.height - height
        padding: 0
        topPadding: 14
        background: Rectangle {
            radius: 12
            color: Style.sheet
            // Drag indicator.
            Rectangle {
                width: 36; height: 5; radius: 2.5
                anchors.horizontalCenter: parent.horizontalCenter
                y: 6
                color: Style.shade(0.2)
            }
        }
        enter: Transition { NumberAnimation { property: "y"; from: root.height; to: root.height - historySheet.height; duration: 200; easing.type: Easing.OutCubic } }
        exit: Transition { NumberAnimation { property: "y"; to: root.height; duration: 160; easing.type: Easing.InCubic } }
        onOpened: if (historyLoader.item) historyLoader.item.focusSearch()
        // Built while the sheet is open only: its list reads the whole stored history.
        contentItem: Loader {
            id: historyLoader
            focus: true
            active: historySheet.visible
            sourceComponent: HistoryView {
                onCloseRequested: chat.showHistory = false
                onConversationChosen: id => {
                    chat.hideWelcomeView()
                    chat.selectConversation(id)
                    chat.showHistory = false
                }
                onMessageChosen: (id, messageId) => {
                    chat.hideWelcomeView()
                    chat.selectConversation(id)
                    chat.showHistory = false
                    messageList.showMessage(messageId)
                }
                // The conversation on screen is gone: the window starts a new one.
                onConversationDeleted: id => {
                    if (id === chat.currentConversationID)
                        chat.newConversation()
                }
                onExportRequested: (id, title, format) => root.exportConversation(id, title, format)
            }
        }
    }

    Popup {
        id: card
        objectName: "accountCard"
        parent: toolbar.accountButton
        x: parent.width - width
        y: parent.height + 6
        visible: chat.showCard
        onClosed: {
            chat.showCard = false
            AccountBalance.refresh()
        }
        padding: Style.padding
        // The card draws its own sheet and shadow. A grey panel around it, drawn flat by the
        // software renderer, read as a block behind the card rather than as a shadow.
        background: null
        contentItem: Item {
            implicitWidth: 300
            implicitHeight: 400
            Accessible.role: Accessible.Pane
            Accessible.name: "点击查看账户信息"
            Loader {
                id: cardLoader
                anchors.fill: parent
                active: chat.showCard
                sourceComponent: MyCardView { }
            }
        }
        Connections {
            target: cardLoader.item
            ignoreUnknownSignals: true
            function onCloseRequested() { chat.showCard = false }
        }
    }

    // The alert and the save panel (with the platform dialog module behind it) are made the
    // first time they are needed: they are rarely used and would only slow the first frame.
    Component {
        id: upgradeAlertComponent
        UpgradeAlert { chat: root.chat }
    }
    Connections {
        target: chat
        function onUpgradeAlertRequested() {
            if (!root.upgradeAlert)
                root.upgradeAlert = upgradeAlertComponent.createObject(root)
            root.upgradeAlert.open()
        }
    }
    Loader {
        id: exportDialog
        anchors.fill: parent
        active: false
        source: "ExportDialog.qml"
        z: 1000
    }
    Connections {
        target: exportDialog.item
        ignoreUnknownSignals: true
        function onToastRequested(text) { root.showToast(text) }
    }
    Loader {
        id: saveDialog
        active: false
        source: "SaveImageDialog.qml"
    }

    Component {
        id: toastComponent
        Toast {
            x: (root.width - width) / 2
            y: (root.height - height) / 2
        }
    }
}
