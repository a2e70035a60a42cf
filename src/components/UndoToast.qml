import QtQuick
import QtQuick.Controls
import Talvoro

// A notice with one action that stays a few seconds, then goes; showing it again starts the
// time anew.
Rectangle {
    id: root

    property alias text: label.text
    property alias actionText: action.text
    property int duration: 5000
    signal actionTriggered()

    function show() {
        visible = true
        timer.restart()
    }

    objectName: "undoToast"
    visible: false
    width: row.implicitWidth + 24
    height: 40
    radius: 10
    color: Style.notice
    z: 1000
    Accessible.role: Accessible.AlertMessage
    Accessible.name: text

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 12
        Text {
            id: label
            anchors.verticalCenter: parent.verticalCenter
            color: Style.textOnNotice
            font.pixelSize: Style.bodySize
        }
        AbstractButton {
            id: action
            objectName: "undoButton"
            anchors.verticalCenter: parent.verticalCenter
            Accessible.role: Accessible.Button
            Accessible.name: text
            contentItem: Text {
                text: action.text
                color: Style.accentText
                font.pixelSize: Style.bodySize
                font.bold: true
            }
            onClicked: {
                root.visible = false
                timer.stop()
                root.actionTriggered()
            }
        }
    }

    Timer {
        id: timer
        interval: root.duration
        onTriggered: root.visible = false
    }
}
