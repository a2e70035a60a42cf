import QtQuick

// A soft shadow around a rounded rectangle, drawn as stacked translucent outlines so that every
// platform (the software renderer too) shows the same thing. Place it behind the caster, filling
// the caster's bounds; the caster must be opaque.
Item {
    id: shadow

    property real radius: 0
    property real blur: 10
    property real strength: 0.33
    readonly property int layers: 8

    Repeater {
        model: shadow.layers
        Rectangle {
            required property int index
            readonly property real grow: (index + 1) * shadow.blur / shadow.layers

            anchors.fill: parent
            anchors.margins: -grow
            radius: shadow.radius + grow
            // Overlapping layers add up to about `strength` at the caster's edge and fade out.
            color: Qt.rgba(0, 0, 0, shadow.strength / shadow.layers * 0.55)
        }
    }
}
