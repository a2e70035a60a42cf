import QtQuick
import QtQuick.Controls
import Talvoro

// The round grey close button in the top-trailing corner of a sheet or card.
Button {
    id: control

    padding: 4
    hoverEnabled: true
    Accessible.name: "关闭"

    contentItem: AccountGlyph {
        name: "cancel"
        size: 18
        color: control.pressed ? Qt.darker(Style.secondaryText, 1.3) : (control.hovered ? Qt.darker(Style.secondaryText, 1.15) : Style.secondaryText)
    }
    background: Rectangle {
        implicitWidth: 26
        implicitHeight: 26
        radius: 12
        color: Qt.rgba(1, 1, 1, 0.4)
    }
}
