import QtQuick
import QtQuick.Controls
import Talvoro

// A prose piece of an answer, formatted: selectable, with links that open only on click.
TextEdit {
    id: prose

    property string source

    topPadding: 5
    bottomPadding: 5
    // Plain: the formatted document is filled in directly, and `text` reads as the words.
    textFormat: TextEdit.PlainText
    wrapMode: TextEdit.Wrap
    readOnly: true
    selectByMouse: true
    color: Style.text
    selectionColor: Qt.rgba(Style.link.r, Style.link.g, Style.link.b, 0.3)
    selectedTextColor: color
    font.pixelSize: Style.bodySize
    // Read aloud as the words it shows (tables cell by cell), without the Markdown marks.
    Accessible.role: Accessible.StaticText

    // The document is filled from the rendered piece, never parsed from `text`.
    function fill() {
        MarkdownRenderer.show(textDocument, source, Style.dark)
        Accessible.name = getText(0, length)
    }
    Component.onCompleted: fill()
    onSourceChanged: fill()
    Connections {
        target: Style
        function onDarkChanged() { prose.fill() }
    }
    onLinkActivated: link => AnswerLinks.open(link)

    HoverHandler {
        cursorShape: prose.hoveredLink !== "" ? Qt.PointingHandCursor : Qt.IBeamCursor
    }
    ToolTip.visible: hoveredLink !== ""
    ToolTip.text: hoveredLink
    ToolTip.delay: 400
}
