import QtQuick
import Talvoro

// The round grey close button in the top-trailing corner of a sheet or card.
IconButton {
    id: control

    text: "关闭"
    symbol: "xmark.circle.fill"
    symbolSize: 18
    symbolColor: control.pressed ? Qt.darker(Style.secondaryText, 1.3)
                                 : (control.hovered ? Qt.darker(Style.secondaryText, 1.15) : Style.secondaryText)
    background: Rectangle {
        implicitWidth: 26
        implicitHeight: 26
        radius: 12
        color: Qt.rgba(1, 1, 1, 0.4)
    }
}
