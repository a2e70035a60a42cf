import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Talvoro

// One line of the account card's info block: symbol and title on the left, in the accent colour
// when `highlighted`, and the value on the right.
RowLayout {
    id: row

    property string symbol
    property string title
    property string value
    property bool highlighted: false
    readonly property color labelColor: highlighted ? Style.accentText : Style.text

    spacing: 6
    Accessible.role: Accessible.StaticText
    Accessible.name: title + value

    SymbolIcon {
        name: row.symbol
        size: 17
        color: row.labelColor
    }
    Label {
        text: row.title
        color: row.labelColor
        Accessible.ignored: true
    }
    Item {
        Layout.fillWidth: true
    }
    Label {
        objectName: "value"
        // Values come from the server; they are shown, never interpreted as markup.
        text: row.value
        textFormat: Text.PlainText
        color: Style.text
        horizontalAlignment: Text.AlignRight
        elide: Text.ElideLeft
        Layout.maximumWidth: 150
        Accessible.ignored: true
    }
}
