import QtQuick
import Talvoro

// The model picker: the six models in three titled groups, the chosen one checked.
Column {
    id: root

    property string selectedModel

    signal modelChosen(string id)

    objectName: "dropdownView"
    width: 220
    topPadding: 6
    bottomPadding: 6
    Accessible.role: Accessible.List
    Accessible.name: "选择模型"

    Repeater {
        model: ModelPickerEntries.entries
        Column {
            id: entry
            required property var modelData
            width: root.width

            Text {
                visible: entry.modelData.startsGroup
                width: 200
                text: entry.modelData.group
                topPadding: 8
                bottomPadding: 8
                leftPadding: 20
                rightPadding: 20
                font.pixelSize: Style.headlineSize
                font.bold: true
                color: Style.text
            }

            Rectangle {
                id: modelRow
                objectName: "modelRow_" + entry.modelData.modelId
                readonly property bool checked: root.selectedModel === entry.modelData.modelId
                width: 220
                height: rowContent.implicitHeight + 12
                color: hover.hovered ? Style.accent : Style.surface
                Accessible.role: Accessible.Button
                Accessible.name: entry.modelData.displayName
                Accessible.checkable: true
                Accessible.checked: checked
                Accessible.onPressAction: root.modelChosen(entry.modelData.modelId)

                Row {
                    id: rowContent
                    x: 20
                    anchors.verticalCenter: parent.verticalCenter
                    spacing: 8
                    SymbolIcon {
                        name: entry.modelData.iconName
                        size: 16
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Text {
                        text: entry.modelData.displayName
                        font.family: Style.latinFamily
                        anchors.verticalCenter: parent.verticalCenter
                        font.pixelSize: Style.bodySize
                        color: hover.hovered ? Style.textOnAccent : Style.text
                    }
                }
                SymbolIcon {
                    objectName: "checkmark"
                    visible: modelRow.checked
                    name: "checkmark"
                    size: 16
                    color: hover.hovered ? Style.textOnAccent : Style.text
                    anchors.right: parent.right
                    anchors.rightMargin: 20
                    anchors.verticalCenter: parent.verticalCenter
                }
                HoverHandler { id: hover }
                TapHandler { onTapped: root.modelChosen(entry.modelData.modelId) }
            }
        }
    }
}
