import QtQuick
import QtQuick.Controls
import Qt.labs.platform as Platform
import Talvoro

// Exporting one conversation: the save panel with the conversation's name suggested, the
// progress while the file is written, and what came of it. Loaded on the first export.
Item {
    id: root

    signal toastRequested(string text)

    function exportConversation(conversationId, name, format) {
        panel.conversationId = conversationId
        panel.name = name
        panel.format = format
        panel.nameFilters = format === "pdf" ? ["PDF (*.pdf)"] : ["Markdown (*.md)"]
        panel.defaultSuffix = format === "pdf" ? "pdf" : "md"
        panel.currentFile = panel.folder + "/" + exporter.suggestedFileName(name, format)
        panel.open()
    }

    ConversationExport {
        id: exporter
        onFinished: ok => root.toastRequested(ok ? "导出成功" : "导出失败")
    }

    Platform.FileDialog {
        id: panel
        property string conversationId
        property string name
        property string format
        fileMode: Platform.FileDialog.SaveFile
        folder: Platform.StandardPaths.writableLocation(Platform.StandardPaths.DocumentsLocation)
        onAccepted: exporter.start(conversationId, name, format, file)
    }

    Rectangle {
        objectName: "exportProgress"
        anchors.centerIn: parent
        visible: exporter.busy
        width: 220
        height: 56
        radius: 10
        color: Style.notice
        z: 1000
        Accessible.role: Accessible.ProgressBar
        Accessible.name: "正在导出"
        Column {
            anchors.centerIn: parent
            spacing: 6
            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: "正在导出…"
                color: Style.textOnNotice
                font.pixelSize: Style.bodySize
            }
            ProgressBar {
                width: 180
                value: exporter.progress
            }
        }
    }
}
