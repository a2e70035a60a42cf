pragma Singleton
import QtQuick

// Colours and measures shared by every view. Colours are named by the part they paint, and
// come in a light and a dark set: the desktop's palette decides which (a dark window colour
// means a dark desktop), and a change of palette while the program runs changes them at once.
// Every text colour keeps a contrast of at least 4.5:1 with the background it is drawn on.
QtObject {
    readonly property SystemPalette desktop: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property bool dark: desktop.window.hslLightness < 0.5

    // Backgrounds.
    readonly property color window: dark ? "#1C1C1E" : "#FFFFFF"
    readonly property color surface: dark ? "#2C2C2E" : "#FFFFFF" // fields, tiles, menus
    readonly property color sheet: dark ? "#242426" : "#F6F6F7"   // sheets and the card
    readonly property color separator: dark ? "#48484A" : "#C9C9CC"
    // A see-through layer for hover, pressed and shadow-like tints, over any background.
    function shade(alpha) { return dark ? Qt.rgba(1, 1, 1, alpha) : Qt.rgba(0, 0, 0, alpha) }

    // Text and symbols.
    readonly property color text: dark ? "#F2F2F7" : "#1D1D1F"
    readonly property color secondaryText: dark ? "#A1A1A6" : "#6E6E73"
    readonly property color placeholderText: "#8E8E93"
    readonly property color link: dark ? "#4DA3FF" : "#0A64D6"
    readonly property color danger: dark ? "#FF6961" : "#D70015"
    readonly property color warning: dark ? "#FFB340" : "#C93400"

    // The brand's brown, and what is written on it.
    readonly property color accent: Qt.rgba(0.70, 0.34, 0.20, 1)
    readonly property color textOnAccent: "#FFFFFF"
    // Text in the brand's colour, on the window or a surface: lighter on a dark one.
    readonly property color accentText: dark ? "#E08A66" : accent
    // The user's own messages, and what is written on them.
    readonly property color bubble: "#0A64D6"
    readonly property color textOnBubble: "#FFFFFF"
    // Code blocks are dark in both sets.
    readonly property color code: "#000000"
    readonly property color textOnCode: "#FFFFFF"
    readonly property color codeLabel: "#A1A1A6"
    // Code coloured by its language, on the code background (the same in both sets); each at
    // least 4.5:1 against it. In the order of CodeHighlighter's roles.
    readonly property color codeKeyword: "#FF7B72"
    readonly property color codeString: "#A5D6FF"
    readonly property color codeComment: "#8B949E"
    readonly property color codeNumber: "#79C0FF"
    readonly property color codeFunction: "#D2A8FF"
    readonly property color codeType: "#FFA657"
    readonly property color codeAttribute: "#56D4DD"
    readonly property color codeMeta: "#E3B341"
    readonly property color codeAddition: "#7EE787"
    readonly property color codeDeletion: "#FFA198"
    readonly property var codeColours: [codeKeyword, codeString, codeComment, codeNumber,
        codeFunction, codeType, codeAttribute, codeMeta, codeAddition, codeDeletion]
    // Notices over the content (the toast).
    readonly property color notice: Qt.rgba(0, 0, 0, 0.78)
    readonly property color textOnNotice: "#FFFFFF"

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
