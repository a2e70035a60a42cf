import QtQuick
import QtQuick.Controls

// The agreement tick box: a ticked square in blue, an empty one in grey. It shows its owner's
// flag and reports presses through `clicked`; the owner inverts the flag, so the box always
// shows the owner's state even when the owner resets it.
AbstractButton {
    id: control

    property bool isChecked: false

    padding: 2
    hoverEnabled: true
    Accessible.role: Accessible.CheckBox
    Accessible.checkable: true
    Accessible.checked: isChecked
    Accessible.name: text

    contentItem: AccountGlyph {
        name: control.isChecked ? "check_box" : "check_box_outline_blank"
        size: 20
        color: control.isChecked ? "#0a64d6" : "gray"
        opacity: control.pressed ? 0.7 : 1
    }
}
