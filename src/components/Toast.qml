import QtQuick
import Talvoro

// A short notice in the middle of the view that fades away by itself.
Rectangle {
    id: root

    property alias text: label.text

    width: 200
    height: 40
    radius: 10
    color: Style.notice
    z: 1000
    Accessible.role: Accessible.AlertMessage
    Accessible.name: text

    Text {
        id: label
        x: 10
        y: 10
        width: 180
        height: 20
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        color: Style.textOnNotice
        font.pixelSize: Style.bodySize
    }

    SequentialAnimation {
        running: true
        PauseAnimation { duration: 2000 }
        NumberAnimation { target: root; property: "opacity"; to: 0; duration: 500 }
        ScriptAction { script: root.destroy() }
    }
}
