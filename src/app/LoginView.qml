import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Talvoro

// The login gate: the mark, and the one way in, the phone number sign-in sheet.
Item {
    id: root

    property bool showingPhoneLoginView: false

    objectName: "loginView"

    ColumnLayout {
        anchors.fill: parent
        spacing: Style.spacing

        Item { Layout.fillHeight: true }

        Row {
            Layout.alignment: Qt.AlignHCenter
            spacing: Style.spacing
            Image {
                anchors.verticalCenter: parent.verticalCenter
                width: 25
                height: 25
                source: SymbolTable.artworkSource("spark")
                sourceSize.width: 50
                sourceSize.height: 50
                fillMode: Image.PreserveAspectFit
                Accessible.role: Accessible.Graphic
                Accessible.name: "spark"
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                leftPadding: 5
                text: "Mirelta"
                font.pixelSize: Style.largeTitleSize
                font.bold: true
                color: Style.text
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
        }

        Text {
            Layout.alignment: Qt.AlignHCenter
            topPadding: 20
            text: "登录"
            font.pixelSize: Style.titleSize
            font.bold: true
            color: Style.text
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }

        AbstractButton {
            id: signIn
            objectName: "phoneLoginButton"
            Layout.fillWidth: true
            Layout.topMargin: 20
            Layout.leftMargin: 50
            Layout.rightMargin: 50
            text: "电话号码登录"
            padding: Style.padding
            hoverEnabled: true
            Accessible.role: Accessible.Button
            Accessible.name: text
            contentItem: Text {
                text: signIn.text
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                font.pixelSize: Style.headlineSize
                font.bold: true
                color: Style.textOnAccent
            }
            background: Rectangle {
                radius: 10
                color: signIn.down ? Qt.darker(Style.accent, 1.15) : Style.accent
            }
            onClicked: root.showingPhoneLoginView = true
        }

        Item { Layout.fillHeight: true }
    }

    // The phone sign-in sheet.
    Popup {
        id: sheet
        objectName: "phoneLoginSheet"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        dim: true
        padding: 0
        visible: root.showingPhoneLoginView
        onClosed: root.showingPhoneLoginView = false
        onOpened: AppDelegate.setSignInSheetShown(true)
        onAboutToHide: AppDelegate.setSignInSheetShown(false)
        closePolicy: Popup.CloseOnEscape
        background: Rectangle { radius: 10; color: Style.surface }
        contentItem: Loader {
            id: phoneLogin
            active: root.showingPhoneLoginView
            sourceComponent: PhoneLoginView { }
            Accessible.role: Accessible.Dialog
            Accessible.name: "电话号码登录"
        }
        Connections {
            target: phoneLogin.item
            ignoreUnknownSignals: true
            function onCloseRequested() { root.showingPhoneLoginView = false }
        }
    }
}
