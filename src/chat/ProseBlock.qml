import QtQuick
import QtQuick.Controls
import Talvoro

// A prose piece of an answer, formatted: selectable, with links that open only on click.
TextEdit {
    id: prose

    property string source
    // Formulas in it are being typeset: it is shown again when they are.
    property bool waiting: false

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

    // The document is filled from the rendered piece, never parsed from `text`. A formula is
    // read, and copied, as its TeX source.
    function fill() {
        waiting = MarkdownRenderer.show(textDocument, source, Style.dark)
        Accessible.name = MarkdownRenderer.readableText(textDocument, 0, length)
    }
    Component.onCompleted: fill()
    onSourceChanged: fill()
    Connections {
        target: Style
        function onDarkChanged() { prose.fill() }
    }
    Connections {
        target: MarkdownRenderer
        enabled: prose.waiting
        function onFormulasReady() { prose.fill() }
    }
    Keys.onPressed: event => {
        if (event.matches(StandardKey.Copy) && selectionEnd > selectionStart) {
            Clipboard.setText(MarkdownRenderer.readableText(textDocument, selectionStart,
                                                            selectionEnd))
            event.accepted = true
        }
    }
    onLinkActivated: link => AnswerLinks.open(link)

    HoverHandler {
        cursorShape: prose.hoveredLink !== "" ? Qt.PointingHandCursor : Qt.IBeamCursor
    }
    ToolTip.visible: hoveredLink !== ""
    ToolTip.text: hoveredLink
    ToolTip.delay: 400
}
