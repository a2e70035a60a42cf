import QtQuick
import QtQuick.Controls
import Talvoro

// "‹ 2/3 ›": which of a message's variants is in view, and the way to the others.
Row {
    id: root

    property int index: 1
    property int count: 1
    // What the variants are called: "回答" for answers, "版本" for questions.
    property string noun: "回答"
    property string previousName: "上一个回答"
    property string nextName: "下一个回答"

    signal switchRequested(int step)

    visible: count > 1
    spacing: 0

    StepButton {
        objectName: "previousVariantButton"
        glyph: "‹"
        name: root.previousName
        enabled: root.index > 1
        onClicked: root.switchRequested(-1)
    }
    Text {
        objectName: "variantLabel"
        anchors.verticalCenter: parent.verticalCenter
        text: root.index + "/" + root.count
        color: Style.secondaryText
        font.family: Style.latinFamily
        font.pixelSize: Style.captionSize + 1
        Accessible.role: Accessible.StaticText
        Accessible.name: "第 " + root.index + " 个" + root.noun + "，共 " + root.count + " 个"
    }
    StepButton {
        objectName: "nextVariantButton"
        glyph: "›"
        name: root.nextName
        enabled: root.index < root.count
        onClicked: root.switchRequested(1)
    }

    component StepButton: AbstractButton {
        id: step
        property string glyph
        property string name
        hoverEnabled: true
        padding: 2
        implicitWidth: 20
        implicitHeight: 20
        Accessible.role: Accessible.Button
        Accessible.name: name
        ToolTip.visible: hovered
        ToolTip.text: name
        ToolTip.delay: 600
        contentItem: Text {
            text: step.glyph
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            color: step.enabled ? Style.text : Style.placeholderText
            font.pixelSize: 16
        }
        background: Rectangle {
            radius: 6
            color: step.down ? Style.shade(0.12) : step.hovered ? Style.shade(0.06) : "transparent"
        }
    }
}
