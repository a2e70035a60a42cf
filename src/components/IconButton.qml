import QtQuick
import QtQuick.Controls
import Talvoro

// A borderless button showing one symbol, named for assistive technology by its tool tip.
AbstractButton {
    id: control

    property alias symbol: glyph.name
    property alias symbolColor: glyph.color
    property alias symbolSize: glyph.size
    property string toolTip
    // Said after the name and shown as the tooltip in its place, when there is more to say.
    property string description

    hoverEnabled: true
    padding: 4
    implicitWidth: glyph.implicitWidth + leftPadding + rightPadding
    implicitHeight: glyph.implicitHeight + topPadding + bottomPadding
    Accessible.role: Accessible.Button
    Accessible.name: toolTip !== "" ? toolTip : text
    Accessible.description: description
    ToolTip.visible: (toolTip !== "" || description !== "") && hovered
    ToolTip.text: description !== "" ? description : toolTip
    ToolTip.delay: 600

    contentItem: Item {
        SymbolIcon {
            id: glyph
            anchors.centerIn: parent
            size: 16
        }
    }
    background: Rectangle {
        radius: 6
        color: control.down ? Style.shade(0.12)
                            : control.hovered ? Style.shade(0.06) : "transparent"
    }
}
