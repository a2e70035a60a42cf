import QtQuick
import QtQuick.Controls
import Talvoro

// An indeterminate progress indicator: a turning arc in one colour, drawn the same on every
// renderer and in every control style.
BusyIndicator {
    id: control

    property color color: Style.secondaryText
    property real lineWidth: 3

    padding: 0
    implicitWidth: 24
    implicitHeight: 24

    contentItem: Canvas {
        implicitWidth: 24
        implicitHeight: 24
        opacity: control.running ? 1 : 0
        onPaint: {
            const ctx = getContext("2d");
            ctx.reset();
            const r = Math.min(width, height) / 2 - control.lineWidth;
            ctx.lineWidth = control.lineWidth;
            ctx.lineCap = "round";
            ctx.strokeStyle = control.color;
            ctx.beginPath();
            ctx.arc(width / 2, height / 2, r, 0, 1.5 * Math.PI);
            ctx.stroke();
        }
        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: control.running && control.visible
        }
    }
    onColorChanged: contentItem.requestPaint()
}
