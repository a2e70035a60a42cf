import QtQuick
import Talvoro

// The status item's popover: a second, independent chat in a small frameless window.
Window {
    id: popover

    objectName: "popover"
    title: "Talvoro"
    width: 400
    height: 600
    color: "white"

    ContentView {
        objectName: "popoverContent"
        anchors.fill: parent
    }
}
