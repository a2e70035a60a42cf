import QtQuick
import QtQuick.Controls
import Talvoro

// A piece of a code block: exact text in a monospace face, scrolled sideways rather than
// wrapped. The first piece of a block carries its language and the copy button.
Item {
    id: block

    property string source
    property string language
    property bool first: true
    property bool last: true
    // Line ends in the whole block: a very long one stays plain.
    property int blockLineBreaks: 0

    signal copyRequested()

    readonly property real inset: Style.padding
    implicitHeight: (header.visible ? header.height : inset) + code.height + (last ? inset : 0)
    clip: true

    // Rounded only at the block's own ends: a piece in the middle runs on to the next.
    Rectangle {
        y: block.first ? 0 : -radius
        width: parent.width
        height: parent.height + (block.first ? 0 : radius) + (block.last ? 0 : radius)
        radius: 10
        color: Style.code
    }

    // The language, when the answer gave one, on a line of its own above the code.
    Item {
        id: header
        visible: block.first && block.language !== ""
        width: parent.width
        height: visible ? 28 : 0

        Text {
            objectName: "codeLanguage"
            anchors.verticalCenter: parent.verticalCenter
            x: block.inset
            text: block.language
            color: Style.codeLabel
            font.pixelSize: Style.captionSize
            font.family: Style.latinFamily
        }
    }

    Flickable {
        id: scroller
        objectName: "codeScroller"
        x: block.inset
        y: header.visible ? header.height : block.inset
        width: parent.width - 2 * block.inset
        height: code.height
        contentWidth: code.implicitWidth
        contentHeight: code.height
        flickableDirection: Flickable.HorizontalFlick
        boundsBehavior: Flickable.StopAtBounds
        interactive: contentWidth > width
        clip: true
        ScrollBar.horizontal: ScrollBar { policy: ScrollBar.AsNeeded }

        TextEdit {
            id: code
            textFormat: TextEdit.PlainText
            wrapMode: TextEdit.NoWrap
            readOnly: true
            selectByMouse: true
            color: Style.textOnCode
            selectionColor: Qt.rgba(1, 1, 1, 0.35)
            selectedTextColor: color
            font.pixelSize: Style.bodySize
            font.family: "monospace"
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            // A piece that grows (an answer streaming in) gets only its new end: the lines
            // above keep their layout.
            function take(full) {
                if (full.length > length && full.startsWith(text))
                    insert(length, full.slice(length))
                else if (full !== text)
                    text = full
            }
            Component.onCompleted: take(block.source)
            // Plain until the worker has coloured it.
            CodeHighlighter {
                objectName: "codeHighlighter"
                document: code.textDocument
                language: block.language
                colours: Style.codeColours
                blockLineBreaks: block.blockLineBreaks
            }
            Connections {
                target: block
                function onSourceChanged() { code.take(block.source) }
            }
        }
    }

    // Over the top right corner of the block, above the code it may cover.
    IconButton {
        id: copyButton
        objectName: "copyCodeButton"
        visible: block.first
        anchors.right: parent.right
        anchors.rightMargin: 4
        y: 2
        symbol: "doc.on.doc"
        symbolColor: Style.codeLabel
        toolTip: "复制代码"
        onClicked: block.copyRequested()
    }
}
