import QtQuick
import QtQuick.Controls
import Talvoro

// A single-line field with a rounded border, named for assistive technology by its placeholder.
TextField {
    id: field

    implicitHeight: 36
    leftPadding: 10
    rightPadding: 10
    selectByMouse: true
    color: Style.text
    placeholderTextColor: Style.placeholderText
    Accessible.name: placeholderText

    background: Rectangle {
        radius: 7
        color: Style.surface
        border.width: field.activeFocus ? 2 : 1
        border.color: field.activeFocus ? Qt.rgba(Style.accent.r, Style.accent.g, Style.accent.b, 0.8) : Style.separator
    }
}
