import QtQuick
import QtQuick.Controls
import Talvoro

// What can be done with one conversation of the history.
Menu {
    id: menu

    // The row it was opened for.
    property Item row: null
    property string conversationId
    property string conversationTitle
    property bool pinned: false
    signal renameChosen()
    signal pinChosen()
    signal exportChosen(string format)
    signal deleteChosen()

    objectName: "historyRowMenu"
    // In the views' own colours, light or dark, not the desktop's.
    component Entry: MenuItem {
        id: entry
        implicitWidth: 180
        contentItem: Text {
            leftPadding: 4
            text: entry.text
            color: Style.text
            font.pixelSize: Style.bodySize
            verticalAlignment: Text.AlignVCenter
        }
        background: Rectangle {
            color: entry.highlighted ? Style.shade(0.1) : "transparent"
        }
    }
    background: Rectangle {
        implicitWidth: 180
        radius: 6
        color: Style.surface
        border.color: Style.separator
    }

    Entry {
        objectName: "renameItem"
        text: "重命名"
        onTriggered: menu.renameChosen()
    }
    Entry {
        objectName: "pinItem"
        text: menu.pinned ? "取消置顶" : "置顶"
        onTriggered: menu.pinChosen()
    }
    Entry {
        objectName: "exportMarkdownItem"
        text: "导出为 Markdown"
        onTriggered: menu.exportChosen("markdown")
    }
    Entry {
        objectName: "exportPdfItem"
        text: "导出为 PDF"
        onTriggered: menu.exportChosen("pdf")
    }
    Entry {
        objectName: "deleteItem"
        text: "删除"
        onTriggered: menu.deleteChosen()
    }
}
