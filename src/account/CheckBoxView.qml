import QtQuick
import QtQuick.Controls
import Talvoro

// The agreement tick box: a ticked square in blue, an empty one in grey. It shows its owner's
// flag and reports presses through `clicked`; the owner inverts the flag, so the box always
// shows the owner's state even when the owner resets it. A CheckBox, not a plain button, so a
// screen reader hears it as one, with its state and every change of it.
CheckBox {
    id: control

    property bool isChecked: false

    padding: 2
    spacing: 0
    hoverEnabled: true
    checked: isChecked
    // A press leaves the state to the owner; the binding above shows the owner's answer.
    nextCheckState: function() { return checkState }

    indicator: SymbolIcon {
        x: control.leftPadding
        y: control.topPadding
        name: control.isChecked ? "checkmark.square" : "square"
        size: 20
        color: control.isChecked ? Style.link : Style.secondaryText
        opacity: control.pressed ? 0.7 : 1
    }
    contentItem: Item {
        implicitWidth: control.indicator.width
        implicitHeight: control.indicator.height
    }
}
