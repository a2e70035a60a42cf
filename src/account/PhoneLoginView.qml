import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Talvoro

// The phone sign-in sheet. The host shows it in a popup and closes that popup on
// `closeRequested` (the close button, or a successful sign-in). Each time the sheet becomes
// visible it starts afresh; when it is hidden, however that happens, the countdown stops.
Item {
    id: root

    signal closeRequested

    readonly property PhoneLogin login: logic
    readonly property color accent: Style.accent

    objectName: "phoneLoginView"
    implicitWidth: 500
    implicitHeight: 400
    Accessible.role: Accessible.Dialog
    Accessible.name: "登录"

    onVisibleChanged: visible ? logic.reset() : logic.dismiss()

    PhoneLogin {
        id: logic
        onCloseRequested: root.closeRequested()
    }

    Rectangle {
        anchors.fill: parent
        color: Style.sheet
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: 12
            Layout.rightMargin: 16

            Item {
                Layout.fillWidth: true
            }
            SheetCloseButton {
                objectName: "closeButton"
                onClicked: logic.close()
            }
        }

        Item {
            Layout.fillHeight: true
        }

        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "登录"
            font.pixelSize: 24
            font.bold: true
            color: Style.text
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 100
            Layout.rightMargin: 100
            Layout.topMargin: 20
            spacing: 8

            ComboBox {
                id: countryCodePicker
                objectName: "countryCodePicker"
                Layout.preferredWidth: 80
                Layout.preferredHeight: 36
                leftPadding: 10
                background: Rectangle {
                    radius: 7
                    color: countryCodePicker.pressed ? Style.shade(0.06) : Style.surface
                    border.width: countryCodePicker.activeFocus ? 2 : 1
                    border.color: countryCodePicker.activeFocus ? Qt.rgba(Style.accent.r, Style.accent.g, Style.accent.b, 0.8)
                                                                : Style.separator
                }
                // Drawn in the role colours: the style's own follow the platform theme, which
                // need not be the palette the rest of the window follows.
                contentItem: Text {
                    text: countryCodePicker.displayText
                    font: countryCodePicker.font
                    color: Style.text
                    verticalAlignment: Text.AlignVCenter
                    elide: Text.ElideRight
                }
                indicator: SymbolIcon {
                    name: "chevron.down"
                    size: 18
                    color: Style.secondaryText
                    x: countryCodePicker.width - width - 6
                    y: (countryCodePicker.height - height) / 2
                }
                model: logic.countryCodes
                currentIndex: Math.max(0, find(logic.selectedCountryCode))
                onActivated: index => logic.selectedCountryCode = textAt(index)
                Accessible.name: "国家代码"
            }
            LoginTextField {
                objectName: "phoneField"
                Layout.fillWidth: true
                placeholderText: "电话号码"
                inputMethodHints: Qt.ImhDialableCharactersOnly
                text: logic.phoneNumber
                onTextEdited: logic.phoneNumber = text
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 100
            Layout.rightMargin: 100
            Layout.topMargin: 6
            spacing: 8

            LoginTextField {
                objectName: "codeField"
                Layout.fillWidth: true
                placeholderText: "在这里输入您的验证码"
                inputMethodHints: Qt.ImhDigitsOnly
                text: logic.verificationCode
                onTextEdited: logic.verificationCode = text
            }
            AccentButton {
                objectName: "sendCodeButton"
                Layout.preferredWidth: 104
                accent: root.accent
                text: logic.sendCodeLabel
                enabled: logic.canSendCode
                Accessible.name: "获取验证码"
                Accessible.description: text
                onClicked: logic.sendVerificationCode()
            }
        }

        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 6
            spacing: 2

            CheckBoxView {
                objectName: "agreeCheckBox"
                text: "我同意"
                isChecked: logic.isAgree
                onClicked: logic.isAgree = !logic.isAgree
            }
            Label {
                text: "我同意"
                color: Style.text
                Accessible.ignored: true
            }
            Button {
                id: termsButton
                objectName: "termsButton"
                flat: true
                hoverEnabled: true
                text: "使用条款和政策"
                leftPadding: 4
                rightPadding: 4
                contentItem: Text {
                    text: termsButton.text
                    font.underline: true
                    color: termsButton.pressed ? Qt.darker(Style.link, 1.2) : Style.link
                }
                background: Rectangle {
                    radius: 4
                    color: termsButton.hovered ? Qt.rgba(Style.link.r, Style.link.g, Style.link.b, 0.08) : "transparent"
                }
                onClicked: logic.openTermsPage()
            }
        }

        AccentButton {
            objectName: "loginButton"
            Layout.fillWidth: true
            Layout.leftMargin: 100
            Layout.rightMargin: 100
            Layout.topMargin: 14
            accent: root.accent
            text: "点击登录"
            busy: logic.isLoggingIn
            enabled: logic.canLogin
            onClicked: logic.loginOrRegister()
        }

        Label {
            objectName: "errorMessage"
            Layout.alignment: Qt.AlignHCenter
            Layout.maximumWidth: 440
            Layout.topMargin: 4
            visible: logic.errorMessage !== ""
            text: logic.errorMessage
            textFormat: Text.PlainText
            color: Style.danger
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Item {
            Layout.fillHeight: true
        }
    }
}
