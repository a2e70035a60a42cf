import QtQuick
import Talvoro

// Shown instead of the messages in a new conversation: the application mark and four
// suggested questions, picture prompts for the image model.
Item {
    id: root

    property string model
    property string hoveredQuestion: ""

    signal questionSelected(string question)

    objectName: "welcomeView"

    Column {
        anchors.centerIn: parent
        width: Math.min(parent.width, questions.width + 2 * Style.padding)
        spacing: Style.spacing

        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            source: SymbolTable.artworkSource("spark2")
            sourceSize.width: 200
            sourceSize.height: 200
            width: 100
            height: 100
            fillMode: Image.PreserveAspectFit
            Accessible.role: Accessible.Graphic
            Accessible.name: "Talvoro"
        }

        Item { width: 1; height: Style.padding }

        Flow {
            id: questions
            anchors.horizontalCenter: parent.horizontalCenter
            // One row of four when the view is wide enough, two by two otherwise.
            readonly property int columns: root.width >= 4 * 150 + 3 * 40 + 2 * Style.padding ? 4 : 2
            width: columns * 150 + (columns - 1) * spacing
            spacing: columns === 4 ? 40 : 16

            Repeater {
                model: WelcomeQuestions.forModel(root.model)
                Item {
                    id: question
                    required property string modelData
                    readonly property bool hovered: root.hoveredQuestion === modelData
                    objectName: "question_" + modelData
                    width: 150
                    height: 60
                    Accessible.role: Accessible.Button
                    Accessible.name: modelData
                    Accessible.onPressAction: root.questionSelected(modelData)

                    SoftShadow { anchors.fill: parent; radius: 10; blur: 5 }
                    Rectangle {
                        anchors.fill: parent
                        radius: 10
                        color: question.hovered ? Style.accent : Style.surface
                        Behavior on color { ColorAnimation { duration: 120 } }
                    }
                    Text {
                        anchors.fill: parent
                        anchors.margins: 5
                        text: question.modelData
                        wrapMode: Text.Wrap
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                        font.pixelSize: Style.bodySize
                        color: question.hovered ? Style.textOnAccent : Style.text
                    }
                    HoverHandler {
                        onHoveredChanged: {
                            if (hovered)
                                root.hoveredQuestion = question.modelData
                            else if (root.hoveredQuestion === question.modelData)
                                root.hoveredQuestion = ""
                        }
                    }
                    TapHandler { onTapped: root.questionSelected(question.modelData) }
                }
            }
        }
    }
}
