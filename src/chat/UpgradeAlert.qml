import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Talvoro

// The modal alert that offers the membership upgrade; the chat view opens it when the controller
// asks, and the controller gets the answer.
Dialog {
    id: upgradeAlert

    required property ChatController chat

    objectName: "upgradeAlert"
    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    closePolicy: Popup.CloseOnEscape
    contentItem: Text {
        Accessible.role: Accessible.AlertMessage
        Accessible.name: text
        text: upgradeAlert.chat.upgradeAlertText
        font.pixelSize: Style.headlineSize
        font.bold: true
        horizontalAlignment: Text.AlignHCenter
        padding: Style.padding
    }
    footer: RowLayout {
        spacing: Style.spacing
        Item { Layout.fillWidth: true }
        // The default button: Return in the alert chooses it, Escape the cancel button.
        Button {
            id: upgradeButton
            objectName: "upgradeButton"
            text: upgradeAlert.chat.upgradeButtonText
            highlighted: true
            Layout.bottomMargin: Style.padding
            onClicked: upgradeAlert.accept()
            Keys.onReturnPressed: upgradeAlert.accept()
            Keys.onEnterPressed: upgradeAlert.accept()
        }
        Button {
            objectName: "cancelUpgradeButton"
            text: upgradeAlert.chat.cancelButtonText
            Layout.bottomMargin: Style.padding
            Layout.rightMargin: Style.padding
            onClicked: upgradeAlert.reject()
        }
    }
    onOpened: upgradeButton.forceActiveFocus()
    onAccepted: upgradeAlert.chat.answerUpgradeAlert(true)
    onRejected: upgradeAlert.chat.answerUpgradeAlert(false)
}
