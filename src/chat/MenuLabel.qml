import QtQuick
import Talvoro

// A menu entry's label: its text followed by a symbol.
Row {
    property alias text: label.text
    property alias symbol: icon.name

    spacing: 8
    leftPadding: 8
    rightPadding: 8
    Text {
        id: label
        anchors.verticalCenter: parent.verticalCenter
        font.pixelSize: Style.bodySize
        color: Style.text
    }
    SymbolIcon {
        id: icon
        anchors.verticalCenter: parent.verticalCenter
        size: 14
        color: Style.text
    }
}
