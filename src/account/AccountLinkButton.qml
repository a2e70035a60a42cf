import QtQuick
import QtQuick.Controls
import Talvoro

// A full-width text button of the account card: brown with white text under the pointer,
// plain black text otherwise.
Button {
    id: control

    property color accent

    implicitHeight: 30
    leftPadding: 10
    rightPadding: 10
    topPadding: 0
    bottomPadding: 0
    hoverEnabled: true
    Accessible.name: text

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.hovered ? Style.textOnAccent : Style.text
        horizontalAlignment: Text.AlignLeft
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: control.hovered ? 10 : 0
        color: control.hovered ? (control.pressed ? Qt.darker(control.accent, 1.15) : control.accent)
                               : "transparent"
    }
}
