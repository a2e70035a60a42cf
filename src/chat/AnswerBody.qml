import QtQuick
import Talvoro

// An answer's text, rendered: prose as formatted text, code blocks apart with their language
// and a copy button. A long answer lays out only the pieces near the part the list shows, so
// even millions of characters never hold the window up.
Column {
    id: answer

    required property string content
    required property var languages
    // The part of this item that the list shows, in its own coordinates.
    property real viewTop: 0
    property real viewBottom: height

    signal copyCodeRequested(string code)
    // A piece wholly above the visible part changed its height by `delta` (it was laid out,
    // or put away): the list moves by as much, so that what the reader sees stays put.
    signal shiftedAbove(real delta)

    // Up to this size an answer is laid out whole, so its height is exact from the start;
    // a longer one lays out the pieces near the visible part, and a very long one makes them
    // over several frames. (Sizes read from the model, which has them before its pieces.)
    readonly property bool whole: blocks.content.length <= 8000
    readonly property bool huge: blocks.content.length > 200000
    readonly property real reach: 800

    // One of each for all pieces; a loaded piece reads its slot (the loader's parent).
    Component {
        id: prosePiece
        ProseBlock {
            readonly property Item slot: parent ? parent.parent : null
            source: slot ? slot.text : ""
        }
    }
    Component {
        id: codePiece
        CodeBlock {
            readonly property Item slot: parent ? parent.parent : null
            source: slot ? slot.text : ""
            language: slot ? slot.language : ""
            first: slot ? slot.first : true
            last: slot ? slot.last : true
            blockLineBreaks: slot ? slot.blockLineBreaks : 0
            onCopyRequested: answer.copyCodeRequested(slot.code)
        }
    }

    Repeater {
        model: MessageBlockModel {
            id: blocks
            content: answer.content
            languages: answer.languages
        }
        delegate: Item {
            id: slot

            required property int index
            required property bool isCode
            required property string text
            required property string language
            required property bool first
            required property bool last
            required property string code
            required property int lineBreaks
            required property int blockLineBreaks

            // A piece the column has not placed yet sits at the top, where it is no guide.
            readonly property bool placed: index === 0 || y > 0
            readonly property bool near: answer.whole
                || (placed && y + extent > answer.viewTop - answer.reach
                    && y < answer.viewBottom + answer.reach)
            // The height a piece had when it was last laid out; before that, a guess from its
            // size, so that the scroll bar is about right.
            property real knownHeight: -1
            readonly property real guess: isCode
                ? (lineBreaks + 1) * 17 + 2 * Style.padding
                : (lineBreaks + 1 + text.length / Math.max(10, width / (Style.bodySize * 0.8)))
                  * 20 + 10
            readonly property real gap: last ? Style.spacing : 0
            readonly property real extent: knownHeight >= 0 ? knownHeight : guess

            property real shownHeight: 0

            width: answer.width
            height: (loader.item ? loader.item.implicitHeight : extent) + gap
            onHeightChanged: {
                if (loader.item)
                    knownHeight = height - gap
                const delta = height - shownHeight
                shownHeight = height
                if (!answer.whole && placed && y + height - delta <= answer.viewTop)
                    answer.shiftedAbove(delta)
            }

            Loader {
                id: loader
                width: parent.width
                active: slot.near
                // A very long answer's pieces come in over several frames as the reader
                // scrolls, never all in the one that brought them near.
                asynchronous: answer.huge
                sourceComponent: slot.isCode ? codePiece : prosePiece
            }
        }
    }
}
