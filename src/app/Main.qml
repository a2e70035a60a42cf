import QtQuick
import QtQuick.Controls
import Talvoro

// The main window: the login gate while signed out, the chat while signed in. The content
// changes the moment the "isLoggedIn" setting does, whoever writes it.
ApplicationWindow {
    id: window

    objectName: "mainWindow"
    title: "Main Window"
    width: 1000
    height: 800
    color: Style.window

    SettingBinding {
        id: loggedIn
        key: "isLoggedIn"
        defaultValue: false
    }

    Loader {
        id: content
        objectName: "windowContent"
        anchors.fill: parent
        sourceComponent: loggedIn.value ? chatContent : loginContent
        onLoaded: AppDelegate.contentAppeared()
    }

    Component {
        id: chatContent
        ContentView {
            isWindowAlwaysOnTop: AppDelegate.mainWindowPinned
            isMinimized: AppDelegate.mainWindowCompact
            isFullScreen: AppDelegate.mainWindowFullScreen
            onPinToggled: AppDelegate.togglePin()
            onCompactToggled: AppDelegate.toggleCompact()
        }
    }
    Component {
        id: loginContent
        LoginView { }
    }
}
