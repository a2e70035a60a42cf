import QtQuick
import QtQuick.Controls
import Talvoro

// A plain button on a white rounded tile that turns accent brown under the pointer.
AbstractButton {
    id: control

    property real labelWidth: -1
    property real tileHeight: -1
    property alias iconName: icon.name
    property string fontFamily: Qt.application.font.family

    hoverEnabled: true
    padding: 12
    implicitWidth: contentItem.implicitWidth + leftPadding + rightPadding
    implicitHeight: tileHeight > 0 ? tileHeight : contentItem.implicitHeight + topPadding + bottomPadding
    Accessible.role: Accessible.Button
    Accessible.name: text

    contentItem: Row {
        spacing: 6
        SymbolIcon {
            id: icon
            visible: name !== ""
            size: 16
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            width: control.labelWidth > 0 ? control.labelWidth : implicitWidth
            anchors.verticalCenter: parent.verticalCenter
            text: control.text
            elide: Text.ElideRight
            horizontalAlignment: icon.visible ? Text.AlignLeft : Text.AlignHCenter
            font.pixelSize: Style.bodySize
            font.family: control.fontFamily
            color: control.hovered ? Style.textOnAccent : Style.text
        }
    }

    background: Rectangle {
        radius: 10
        color: control.hovered ? Style.accent : Style.surface
        border.color: Style.surface
        border.width: 2
        scale: control.down ? 0.97 : 1
        Behavior on color { ColorAnimation { duration: 120 } }
    }
}
