import QtQuick

// One Material Icons glyph, named by its ligature ("cancel", "check_box", ...). The text itself
// is not something to read aloud, so assistive technology skips it; the control around it
// carries the name.
Text {
    property string name
    property real size: 18

    text: name
    font.family: "Material Icons"
    font.pixelSize: size
    width: size
    height: size
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    Accessible.ignored: true
}
