import QtQuick
import Talvoro

// Copy, quote and regenerate under an assistant message; visible while the message is hovered.
Row {
    id: root

    property bool shown: false
    property bool isCopied: false
    property bool canRegenerate: false

    signal copyRequested()
    signal quoteRequested()
    signal regenerateRequested()

    spacing: Style.spacing
    opacity: shown ? 1 : 0

    IconButton {
        objectName: "copyButton"
        toolTip: "复制"
        implicitWidth: 20 + leftPadding + rightPadding
        implicitHeight: 20 + topPadding + bottomPadding
        enabled: root.shown
        onClicked: root.copyRequested()
        contentItem: Item {
            SymbolIcon {
                anchors.centerIn: parent
                name: "checkmark"
                opacity: root.isCopied ? 1 : 0
            }
            SymbolIcon {
                anchors.centerIn: parent
                name: "doc.on.doc"
                opacity: root.isCopied ? 0 : 1
            }
        }
    }
    IconButton {
        objectName: "quoteButton"
        symbol: "text.quote"
        toolTip: "引用"
        enabled: root.shown
        onClicked: root.quoteRequested()
    }
    IconButton {
        objectName: "regenerateButton"
        symbol: "arrow.clockwise"
        toolTip: "重新生成"
        visible: root.canRegenerate
        enabled: root.shown
        onClicked: root.regenerateRequested()
    }
}
