import QtQuick
import QtQuick.Controls
import Talvoro

// What the history's search found: one row per message, newest first, each with its
// conversation, its date and the words around the match.
ListView {
    id: list

    required property SearchResultsModel results
    signal chosen(string conversationId, string messageId)

    objectName: "searchResults"
    model: results
    spacing: 6
    clip: true
    boundsBehavior: Flickable.StopAtBounds
    Accessible.role: Accessible.List
    Accessible.name: "搜索结果"
    ScrollBar.vertical: ScrollBar { }

    // Right after an upgrade the index is still being built behind the window.
    header: Text {
        objectName: "searchIndexBuilding"
        width: ListView.view.width
        height: visible ? implicitHeight + 6 : 0
        visible: !list.results.complete
        text: "正在建立搜索索引，较早的消息暂时搜不到"
        wrapMode: Text.Wrap
        color: Style.secondaryText
        font.pixelSize: Style.captionSize
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    delegate: AbstractButton {
        id: result
        objectName: "searchResultRow"
        required property string conversationId
        required property string messageId
        required property string conversationText
        required property string date
        required property string snippet
        required property string snippetMarkup
        width: ListView.view.width
        height: 64
        hoverEnabled: true
        Accessible.role: Accessible.Button
        Accessible.name: snippet + "，" + conversationText + "，" + date
        onClicked: list.chosen(conversationId, messageId)

        background: Rectangle {
            radius: 10
            color: result.hovered ? Qt.rgba(0, 0.478, 1, 0.3) : Qt.rgba(0.56, 0.56, 0.58, 0.1)
        }
        contentItem: Column {
            leftPadding: Style.padding
            rightPadding: Style.padding
            topPadding: 8
            spacing: 4
            Row {
                width: result.width - 2 * Style.padding
                spacing: Style.spacing
                Text {
                    width: parent.width - dateText.width - Style.spacing
                    // The row text's first line names the conversation well enough here.
                    text: result.conversationText.split("\n")[0]
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    maximumLineCount: 1
                    color: Style.secondaryText
                    font.pixelSize: Style.captionSize
                }
                Text {
                    id: dateText
                    text: result.date
                    color: Style.secondaryText
                    font.pixelSize: Style.captionSize
                }
            }
            Text {
                width: result.width - 2 * Style.padding
                // Escaped in the model; only the marks around the match are markup.
                text: result.snippetMarkup
                textFormat: Text.StyledText
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
                color: Style.text
                font.pixelSize: Style.bodySize
            }
        }
    }

    Text {
        objectName: "noSearchResults"
        anchors.centerIn: parent
        visible: list.results.settled && list.count === 0
        text: "没有找到相关消息"
        color: Style.secondaryText
        font.pixelSize: Style.bodySize
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
}
