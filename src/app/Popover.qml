import QtQuick
import Talvoro

// The status item's popover: a second, independent chat in a small frameless window. Its chat
// view is built the first time the popover opens and then kept, so start-up does not pay for
// a view that may never be shown.
Window {
    id: popover

    objectName: "popover"
    title: "Talvoro"
    width: 400
    height: 600
    color: Style.window

    Loader {
        id: content
        anchors.fill: parent
        active: false
        sourceComponent: ContentView {
            objectName: "popoverContent"
            isWindowAlwaysOnTop: AppDelegate.mainWindowPinned
            isMinimized: AppDelegate.mainWindowCompact
            isFullScreen: AppDelegate.mainWindowFullScreen
            onPinToggled: AppDelegate.togglePin()
            onCompactToggled: AppDelegate.toggleCompact()
        }
    }
    onVisibleChanged: {
        if (visible)
            content.active = true
    }
}
