import QtQuick
import QtQuick.Controls
import Talvoro

// The bar above the chat: model name, window pin, compact size, and the account icon.
Rectangle {
    id: root

    required property ChatController chat
    property bool isWindowAlwaysOnTop: false
    property bool isMinimized: false
    property bool isFullScreen: false
    property alias accountButton: account

    signal pinToggled()
    signal compactToggled()

    implicitHeight: 44
    color: Qt.rgba(Style.window.r, Style.window.g, Style.window.b, 0.85)

    Row {
        anchors.left: parent.left
        anchors.leftMargin: Style.padding
        anchors.verticalCenter: parent.verticalCenter
        spacing: Style.spacing

        Text {
            objectName: "toolbarTitle"
            anchors.verticalCenter: parent.verticalCenter
            text: root.chat.selectedModelDisplayName
            font.family: Style.latinFamily
            font.pixelSize: Style.headlineSize
            font.bold: true
            color: Style.text
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }
        IconButton {
            objectName: "pinButton"
            anchors.verticalCenter: parent.verticalCenter
            implicitWidth: 24
            implicitHeight: 24
            symbol: root.isWindowAlwaysOnTop ? "pin.fill" : "pin.slash.fill"
            symbolColor: root.isWindowAlwaysOnTop ? Style.danger : Style.text
            symbolSize: 15
            toolTip: root.isWindowAlwaysOnTop ? "点击取消前置窗口" : "点击前置窗口"
            // Toggles, so a screen reader says whether the window is pinned and hears it change.
            checkable: true
            checked: root.isWindowAlwaysOnTop
            onClicked: root.pinToggled()
        }
        IconButton {
            objectName: "compactButton"
            anchors.verticalCenter: parent.verticalCenter
            visible: !root.isFullScreen
            implicitWidth: 24
            implicitHeight: 24
            symbol: root.isMinimized ? "arrow.up.left.and.arrow.down.right.square.fill"
                                     : "arrow.down.right.and.arrow.up.left.square.fill"
            symbolColor: root.isMinimized ? Style.link : Style.text
            symbolSize: 15
            toolTip: root.isMinimized ? "点击恢复窗口" : "点击缩小窗口"
            checkable: true
            checked: root.isMinimized
            onClicked: root.compactToggled()
        }
    }

    // The credits left; grey while the last read failed, the warning colour when they run low.
    Text {
        id: balance
        objectName: "balanceLabel"
        anchors.right: account.left
        anchors.rightMargin: Style.spacing
        anchors.verticalCenter: parent.verticalCenter
        visible: text !== ""
        text: AccountBalance.text
        color: AccountBalance.offline ? Style.placeholderText
                                      : AccountBalance.low ? Style.warning : Style.text
        font.pixelSize: Style.bodySize
        Accessible.role: Accessible.StaticText
        Accessible.name: "积分余额"
        Accessible.description: AccountBalance.estimateText !== ""
                                ? text + "，" + AccountBalance.estimateText : text

        HoverHandler { id: balanceHover }
        ToolTip.visible: balanceHover.hovered && AccountBalance.estimateText !== ""
        ToolTip.text: AccountBalance.estimateText
        ToolTip.delay: 600
    }

    Item {
        id: account
        objectName: "accountButton"
        anchors.right: parent.right
        anchors.rightMargin: Style.padding
        anchors.verticalCenter: parent.verticalCenter
        width: 40
        height: 32
        Accessible.role: Accessible.Button
        Accessible.name: "点击查看账户信息"
        Accessible.onPressAction: root.chat.showCard = !root.chat.showCard

        SoftShadow {
            anchors.centerIn: parent
            width: 20
            height: 18
            radius: 4
            blur: accountHover.hovered ? 10 : 0
            color: Qt.rgba(0.56, 0.56, 0.58, 0.55)
        }
        SymbolIcon {
            anchors.centerIn: parent
            name: "person.crop.rectangle.fill"
            size: 24
            color: Style.accent
        }
        HoverHandler { id: accountHover }
        TapHandler { onTapped: root.chat.showCard = !root.chat.showCard }
        ToolTip.visible: accountHover.hovered
        ToolTip.text: "点击查看账户信息"
        ToolTip.delay: 600
    }

    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: Style.shade(0.08)
    }
}
