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
    palette.window: Style.surface
    palette.windowText: Style.text
    palette.light: Style.surface
    palette.mid: Style.shade(0.12)
    palette.dark: Style.separator

    MenuItem {
        objectName: "renameItem"
        text: "重命名"
        onTriggered: menu.renameChosen()
    }
    MenuItem {
        objectName: "pinItem"
        text: menu.pinned ? "取消置顶" : "置顶"
        onTriggered: menu.pinChosen()
    }
    MenuItem {
        objectName: "exportMarkdownItem"
        text: "导出为 Markdown"
        onTriggered: menu.exportChosen("markdown")
    }
    MenuItem {
        objectName: "exportPdfItem"
        text: "导出为 PDF"
        onTriggered: menu.exportChosen("pdf")
    }
    MenuItem {
        objectName: "deleteItem"
        text: "删除"
        onTriggered: menu.deleteChosen()
    }
}
