import QtQuick
import Talvoro

// Three dots, the current one enlarged, while a reply is on its way.
Row {
    id: root

    property int currentDot: 0

    spacing: 6
    leftPadding: 3
    rightPadding: 3
    topPadding: 12
    bottomPadding: 12
    Accessible.role: Accessible.Indicator
    Accessible.name: "…"

    Repeater {
        model: 3
        Rectangle {
            required property int index
            width: 6
            height: 6
            radius: 3
            antialiasing: true
            color: Qt.rgba(Style.text.r, Style.text.g, Style.text.b, 0.7)
            scale: root.currentDot === index ? 1.3 : 1.0
            Behavior on scale { NumberAnimation { duration: 400; easing.type: Easing.InOutQuad } }
        }
    }
}
