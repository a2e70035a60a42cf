import QtQuick
import QtQuick.Controls

// The round grey close button in the top-trailing corner of a sheet or card.
Button {
    id: control

    padding: 4
    hoverEnabled: true
    Accessible.name: "关闭"

    contentItem: AccountGlyph {
        name: "cancel"
        size: 18
        color: control.pressed ? "#5f5f5f" : (control.hovered ? "#7a7a7a" : "gray")
    }
    background: Rectangle {
        implicitWidth: 26
        implicitHeight: 26
        radius: 12
        color: Qt.rgba(1, 1, 1, 0.4)
    }
}
