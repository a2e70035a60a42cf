import QtQuick

// A soft shadow around a rounded rectangle, drawn as stacked translucent rounded rectangles so
// that renderers without shader effects (the software one too) show it the same. Place it under
// the shadowed item, filling the same area; the shadowed item must be opaque. More layers give
// a smoother fade over a wider blur.
Item {
    id: root

    property real radius: 10
    property real blur: 5
    property color color: Qt.rgba(0, 0, 0, 0.33)
    property int layers: 6

    Repeater {
        model: root.blur > 0 ? root.layers : 0
        Rectangle {
            required property int index
            readonly property real spread: root.blur * (index + 1) / root.layers
            x: -spread
            y: -spread
            width: root.width + 2 * spread
            height: root.height + 2 * spread
            radius: root.radius + spread
            antialiasing: true
            // Each ring adds a little, so the shadow is darkest at the edge and fades out.
            color: Qt.rgba(root.color.r, root.color.g, root.color.b,
                           root.color.a * 0.45 / root.layers)
        }
    }
}
