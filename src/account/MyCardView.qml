import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Talvoro

// The account card. Each time it becomes visible it shows the placeholders and asks the
// service afresh; the host closes its popup on `closeRequested`. Signing out only clears
// "isLoggedIn": the shell swaps the chat window for the login gate by itself.
Item {
    id: root

    signal closeRequested

    readonly property AccountCard card: logic
    readonly property color accent: Style.accent
    readonly property color cardColor: Style.sheet

    // For a host that keeps the card visible and wants it refetched.
    function refresh() {
        logic.refresh();
    }

    objectName: "myCardView"
    implicitWidth: 380
    implicitHeight: cardBox.height + 32
    Accessible.role: Accessible.Dialog
    Accessible.name: logic.username

    onVisibleChanged: if (visible)
        logic.refresh()
    Component.onCompleted: if (visible)
        logic.refresh()

    AccountCard {
        id: logic
    }

    Item {
        id: cardBox
        x: 16
        y: 16
        width: root.width - 32
        height: content.implicitHeight + 32

        SoftShadow {
            anchors.fill: parent
            radius: 20
            blur: 10
            layers: 8
            color: Qt.rgba(0, 0, 0, 0.4)
        }
        Rectangle {
            anchors.fill: parent
            radius: 20
            color: root.cardColor
        }

        ColumnLayout {
            id: content
            x: 16
            y: 16
            width: parent.width - 32
            spacing: 16

            RowLayout {
                Layout.margins: 16
                Layout.bottomMargin: 0
                spacing: 8

                AccountAvatar {
                    objectName: "avatar"
                    source: logic.avatarAddress
                    backdrop: root.cardColor
                }
                ColumnLayout {
                    spacing: 2
                    Label {
                        objectName: "username"
                        text: logic.username
                        textFormat: Text.PlainText
                        font.pixelSize: 15
                        font.weight: Font.DemiBold
                        color: Style.text
                    }
                    Label {
                        objectName: "phone"
                        text: logic.phone
                        textFormat: Text.PlainText
                        font.pixelSize: 13
                        color: Style.secondaryText
                    }
                }
            }

            Label {
                objectName: "errorMessage"
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                visible: logic.errorMessage !== ""
                text: logic.errorMessage
                textFormat: Text.PlainText
                color: Style.danger
                font.pixelSize: 12
                wrapMode: Text.Wrap
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }

            Rectangle {
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                implicitHeight: rows.implicitHeight + 32
                radius: 10
                color: Style.surface

                ColumnLayout {
                    id: rows
                    x: 16
                    y: 16
                    width: parent.width - 32
                    spacing: 8

                    AccountInfoRow {
                        objectName: "stateRow"
                        Layout.fillWidth: true
                        symbol: "crown.fill"
                        title: "订阅："
                        value: logic.stateText
                        highlighted: logic.stateHighlighted
                    }
                    AccountInfoRow {
                        objectName: "chatQuotaRow"
                        Layout.fillWidth: true
                        symbol: "bitcoinsign.circle.fill"
                        title: "积分剩余："
                        value: logic.chatQuota
                        highlighted: logic.chatQuotaHighlighted
                    }
                    AccountInfoRow {
                        objectName: "translateQuotaRow"
                        Layout.fillWidth: true
                        symbol: "character.book.closed.fill"
                        title: "(网页插件)对照翻译剩余："
                        value: logic.translateQuotaText
                        highlighted: logic.translateQuotaHighlighted
                    }
                    AccountInfoRow {
                        objectName: "expiryRow"
                        Layout.fillWidth: true
                        visible: logic.showsExpiry
                        symbol: "calendar.circle.fill"
                        title: "会员到期时间："
                        value: logic.expiryDate
                        highlighted: logic.expiryHighlighted
                    }
                }
            }

            ColumnLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                spacing: 8

                AccountLinkButton {
                    objectName: "membershipButton"
                    Layout.fillWidth: true
                    accent: root.accent
                    text: logic.membershipButtonText
                    onClicked: logic.openMembershipPage()
                }
                AccountLinkButton {
                    objectName: "extensionButton"
                    Layout.fillWidth: true
                    accent: root.accent
                    text: "使用网页扩展（谷歌/Edge）"
                    onClicked: logic.openFollowPage()
                }
                AccountLinkButton {
                    objectName: "feedbackButton"
                    Layout.fillWidth: true
                    accent: root.accent
                    text: "问题反馈"
                    onClicked: logic.openContactPage()
                }
                AccountLinkButton {
                    objectName: "signOutButton"
                    Layout.fillWidth: true
                    accent: root.accent
                    text: "退出登录"
                    onClicked: logic.signOut()
                }
            }
        }
    }

    SheetCloseButton {
        objectName: "closeButton"
        anchors.top: cardBox.top
        anchors.right: cardBox.right
        anchors.topMargin: 12
        anchors.rightMargin: 14
        onClicked: root.closeRequested()
    }
}
