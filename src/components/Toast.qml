import QtQuick
import Talvoro

// A short notice in the middle of the view that fades away by itself.
Rectangle {
    id: root

    property alias text: label.text
    // A button after the text (the membership page when credits run low); such a toast stays
    // long enough to be pressed.
    property string actionText
    signal actionTriggered()

    width: actionText !== "" ? label.width + action.width + 30 : 200
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
        width: root.actionText !== "" ? implicitWidth : 180
        height: 20
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        color: Style.textOnNotice
        font.pixelSize: Style.bodySize
    }

    AccentButton {
        id: action
        objectName: "toastAction"
        visible: root.actionText !== ""
        anchors.right: parent.right
        anchors.rightMargin: 6
        anchors.verticalCenter: parent.verticalCenter
        height: 28
        accent: Style.accent
        text: root.actionText
        onClicked: root.actionTriggered()
    }

    SequentialAnimation {
        running: true
        PauseAnimation { duration: root.actionText !== "" ? 6000 : 2000 }
        NumberAnimation { target: root; property: "opacity"; to: 0; duration: 500 }
        ScriptAction { script: root.destroy() }
    }
}
