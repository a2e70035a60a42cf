import QtQuick
import QtQuick.Controls
import Talvoro

// Under an assistant message: which variant it is (always), then copy, quote, regenerate and
// what it cost, visible while the message is hovered.
Row {
    id: root

    property bool shown: false
    property bool isCopied: false
    property bool canRegenerate: false
    // "消耗 X 积分", empty when no charge was recorded; its parts go to the tooltip.
    property string cost
    property string costParts
    property int variantIndex: 1
    property int variantCount: 1

    signal copyRequested()
    signal quoteRequested()
    signal regenerateRequested()
    signal switchRequested(int step)

    spacing: Style.spacing

    VariantSwitcher {
        objectName: "answerVariants"
        anchors.verticalCenter: parent.verticalCenter
        index: root.variantIndex
        count: root.variantCount
        onSwitchRequested: step => root.switchRequested(step)
    }

    Row {
        spacing: Style.spacing
        opacity: root.shown ? 1 : 0

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
        Text {
            objectName: "costLabel"
            anchors.verticalCenter: parent.verticalCenter
            visible: root.cost !== ""
            text: root.cost
            color: Style.secondaryText
            font.pixelSize: Style.captionSize
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            Accessible.description: root.costParts

            HoverHandler { id: costHover }
            ToolTip.visible: costHover.hovered && root.costParts !== ""
            ToolTip.text: root.costParts
            ToolTip.delay: 600
        }
    }
}
