import QtQuick
import QtQuick.Controls
import Talvoro

// A button with white text on the accent brown. While `busy` it shows only a progress
// indicator. Disabled, it fades instead of greying, so the accent stays recognisable.
Button {
    id: control

    property color accent
    property bool busy: false

    implicitHeight: 36
    hoverEnabled: true
    font.pixelSize: 15
    font.weight: Font.DemiBold
    Accessible.role: Accessible.Button
    Accessible.name: text

    contentItem: Text {
        visible: !control.busy
        text: control.text
        font: control.font
        color: Style.textOnAccent
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Item {
        implicitHeight: 36

        Rectangle {
            anchors.fill: parent
            radius: 10
            visible: !control.busy
            opacity: control.enabled ? 1 : 0.45
            color: control.pressed ? Qt.darker(control.accent, 1.2)
                                   : (control.hovered ? Qt.darker(control.accent, 1.08) : control.accent)
        }
        Spinner {
            anchors.centerIn: parent
            visible: control.busy
            running: control.busy
            color: control.accent
        }
    }
}
