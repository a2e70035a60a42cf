import QtQuick
import Talvoro

// A system symbol (a glyph of the icon font) or an artwork image, by name. The glyph is not
// something to read aloud, so assistive technology skips it; the control around it carries the
// name.
Item {
    id: root

    property string name
    property real size: 16
    property color color: Style.text

    readonly property bool isSymbol: SymbolTable.isSymbol(name)

    implicitWidth: size
    implicitHeight: size

    Text {
        anchors.centerIn: parent
        visible: root.isSymbol
        text: root.isSymbol ? SymbolTable.glyph(root.name) : ""
        font.family: SymbolTable.fontFamily
        font.pixelSize: root.size
        color: root.color
        Accessible.ignored: true
    }

    // The font has no crossed-out pin: the stroke is drawn, with a gap in the background
    // colour so it reads as a cut.
    Rectangle {
        visible: root.isSymbol && SymbolTable.isSlashed(root.name)
        anchors.centerIn: parent
        width: root.size * 1.2
        height: Math.max(1.5, root.size / 8)
        radius: height / 2
        rotation: 45
        antialiasing: true
        color: root.color
    }

    Image {
        anchors.fill: parent
        visible: !root.isSymbol
        source: root.isSymbol ? "" : SymbolTable.artworkSource(root.name)
        sourceSize.width: root.size * 2
        sourceSize.height: root.size * 2
        fillMode: Image.PreserveAspectFit
        smooth: true
        asynchronous: false
    }
}
