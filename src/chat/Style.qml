pragma Singleton
import QtQuick

// Colours and measures shared by every view of the chat window.
QtObject {
    readonly property color accent: Qt.rgba(0.74, 0.36, 0.22, 1)
    readonly property color blue: "#007AFF"
    readonly property color red: "#FF3B30"
    readonly property color gray: "#8E8E93"
    readonly property color black: "#000000"
    readonly property color white: "#FFFFFF"
    readonly property color text: "#1D1D1F"

    // For Latin-only labels such as model names: the CJK face draws "·" full-width.
    readonly property string latinFamily: "DejaVu Sans"

    // The toolkit's standard padding and default stack spacing.
    readonly property int padding: 12
    readonly property int spacing: 8

    readonly property int bodySize: 14
    readonly property int editorSize: 15
    readonly property int headlineSize: 15
    readonly property int titleSize: 22
    readonly property int largeTitleSize: 28
    readonly property int captionSize: 11
}
