import QtQuick
import QtQuick.Controls

// A single-line field with a rounded border, named for assistive technology by its placeholder.
TextField {
    id: field

    implicitHeight: 36
    leftPadding: 10
    rightPadding: 10
    selectByMouse: true
    color: "#1d1d1f"
    placeholderTextColor: "#9a9a9f"
    Accessible.name: placeholderText

    background: Rectangle {
        radius: 7
        color: "white"
        border.width: field.activeFocus ? 2 : 1
        border.color: field.activeFocus ? Qt.rgba(0.74, 0.36, 0.22, 0.8) : "#c9c9cc"
    }
}
